#include "mail/net/transportthread.h"

#include "platform/core/wait.h"

#include <QCoreApplication>
#include <QThread>

namespace nmail::detail {

namespace {

struct TransportThread {
  QThread thread;
  QObject *context = nullptr; // lives on `thread`; jobs are queued to it
};

TransportThread *current = nullptr;
std::function<void()> cleanup;
bool stopRegistered = false;

QObject *transportContext() {
  if (!current) {
    current = new TransportThread;
    current->thread.setObjectName(QStringLiteral("korvex-transport"));
    current->context = new QObject;
    current->context->moveToThread(&current->thread);
    current->thread.start();
    if (!stopRegistered) {
      qAddPostRoutine(stopTransportThread);
      stopRegistered = true;
    }
  }
  return current->context;
}

} // namespace

void runOnTransportThread(const std::function<void()> &job) {
  if (!platform::onMainThread()) {
    job();
    return;
  }
  platform::runAndWait(job, transportContext());
}

void queueOnTransportThread(std::function<void()> job) {
  if (!current || QThread::currentThread() != &current->thread)
    return;
  QMetaObject::invokeMethod(current->context, std::move(job), Qt::QueuedConnection);
}

void postToTransportThread(std::function<void()> job) {
  if (!platform::onMainThread()) {
    job();
    return;
  }
  QMetaObject::invokeMethod(transportContext(), std::move(job), Qt::QueuedConnection);
}

void setTransportThreadCleanup(std::function<void()> lastJob) {
  cleanup = std::move(lastJob);
}

void stopTransportThread() {
  if (!current)
    return;
  if (cleanup)
    QMetaObject::invokeMethod(current->context, cleanup, Qt::BlockingQueuedConnection);
  current->thread.quit();
  current->thread.wait();
  delete current->context;
  delete current;
  current = nullptr;
}

} // namespace nmail::detail
