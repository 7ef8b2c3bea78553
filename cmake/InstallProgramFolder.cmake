# Runs at install time (cmake --install): lays out the program folder under
# the prefix and the desktop entry that starts it.
#
# Korvex keeps its data beside its executable, so the program folder is
# <prefix>/lib/korvex with the data folder and the attachment folder in it.
# Everything goes under the prefix: a per-user install to ~/.local needs no
# root. Reinstalling never touches the user's data.

set(_root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(_program "${_root}/${KORVEX_PROGRAM_DIR}")

# The two folders the program expects and never creates itself. A data folder
# brought over from Windows may be spelled "★MailData" (or in any other letter
# case): then that one is the data folder, and no second one is made beside it.
file(GLOB _entries LIST_DIRECTORIES true RELATIVE "${_program}" "${_program}/*")
set(_hasData FALSE)
set(_dataFolder "${_program}/★MAilData")
foreach(_e IN LISTS _entries)
  string(TOLOWER "${_e}" _lower)
  if(_lower STREQUAL "★maildata" AND IS_DIRECTORY "${_program}/${_e}")
    set(_hasData TRUE)
    set(_dataFolder "${_program}/${_e}")
  endif()
endforeach()
if(NOT _hasData)
  message(STATUS "Installing: ${_program}/★MAilData")
  file(MAKE_DIRECTORY "${_program}/★MAilData")
endif()
if(NOT IS_DIRECTORY "${_program}/添付フォルダ")
  message(STATUS "Installing: ${_program}/添付フォルダ")
  file(MAKE_DIRECTORY "${_program}/添付フォルダ")
endif()
# Mail, the password and the attachments are the user's alone (the program
# keeps what it writes there 0600); the folders are made so whatever the
# umask, and a reinstall tightens folders an earlier install left open.
file(CHMOD "${_dataFolder}" "${_program}/添付フォルダ"
  DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)

# The desktop entry names the installed executable by its absolute path (the
# prefix need not be on PATH). Exec quoting: inside double quotes " ` $ \ take
# a backslash, the desktop file's own string escapes double every backslash,
# and a literal % is written %%.
set(_exe "${CMAKE_INSTALL_PREFIX}/${KORVEX_PROGRAM_DIR}/korvex")
string(REPLACE "\\" "\\\\" _quoted "${_exe}")
string(REPLACE "\"" "\\\"" _quoted "${_quoted}")
string(REPLACE "`" "\\`" _quoted "${_quoted}")
string(REPLACE "$" "\\$" _quoted "${_quoted}")
string(REPLACE "\\" "\\\\" _quoted "${_quoted}")
string(REPLACE "%" "%%" _quoted "${_quoted}")
set(KORVEX_EXEC "\"${_quoted}\"")
string(REPLACE "\\" "\\\\" KORVEX_TRYEXEC "${_exe}")
file(READ "${KORVEX_SOURCE_DIR}/data/korvex.desktop.in" _template)
string(CONFIGURE "${_template}" _entry @ONLY)
set(_desktop "${_root}/share/applications/korvex.desktop")
message(STATUS "Installing: ${_desktop}")
file(WRITE "${_desktop}" "${_entry}")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_desktop}")

# korvex on PATH: a link into the program folder (the program finds its folder
# through the link).
file(RELATIVE_PATH _target "${CMAKE_INSTALL_PREFIX}/bin" "${_exe}")
set(_link "${_root}/bin/korvex")
message(STATUS "Installing: ${_link}")
file(MAKE_DIRECTORY "${_root}/bin")
file(REMOVE "${_link}")
file(CREATE_LINK "${_target}" "${_link}" SYMBOLIC)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_link}")
