#include "backgroundjob.h"

BackgroundJob::BackgroundJob(QObject *parent)
    : QObject(parent)
{ }

BackgroundJob::~BackgroundJob()
{
    finish();
}

void BackgroundJob::start(const Work &work)
{
    finish();
    cancelled = false;
    thread.reset(QThread::create([this, work] { work(cancelled); }));
    connect(thread.get(), &QThread::finished, this, &BackgroundJob::done);
    thread->start();
}

void BackgroundJob::finish()
{
    if (!thread)
        return;
    cancelled = true;
    thread->disconnect(this);
    thread->wait();
    thread.reset();
}
