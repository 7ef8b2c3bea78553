#include "main/lib/application.h"

int main(int argc, char **argv) { return korvex::runApplication(argc, argv); }
