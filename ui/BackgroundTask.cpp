#include "BackgroundTask.h"

#include <QEventLoop>
#include <QProgressDialog>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <system_error>
#include <thread>
#include <utility>

namespace {

/** The units of a progress reported as a fraction. */
constexpr int64_t FractionUnits = int64_t(1) << 30;

} // namespace

/** One start of the task: its work, what to do with the outcome, and its thread. */
struct TBackgroundTask::Run
{
    uint64_t Id = 0;
    Token State; ///< what the work polls and reports to
    std::function<void(TBackgroundTask::Token&)> Work;
    std::function<void()> Done;
    std::function<void(std::exception_ptr)> Failed;
    std::exception_ptr Failure; ///< written by the thread, read after it is joined
    std::thread Thread;
};

void TBackgroundTask::Token::Report(double fraction)
{
    total_.store(FractionUnits, std::memory_order_relaxed);
    control_.Done.store(std::llround(std::clamp(fraction, 0.0, 1.0) * double(FractionUnits)),
                        std::memory_order_relaxed);
}

SpectrumControl& TBackgroundTask::Token::Spectrum(int64_t total)
{
    control_.Done.store(0, std::memory_order_relaxed);
    total_.store(std::max<int64_t>(total, 1), std::memory_order_relaxed);
    return control_;
}

double TBackgroundTask::Token::Progress() const
{
    const int64_t total = total_.load(std::memory_order_relaxed);
    if (total <= 0) return 0;
    return std::clamp(double(control_.Done.load(std::memory_order_relaxed)) / double(total), 0.0,
                      1.0);
}

TBackgroundTask::TBackgroundTask(QObject* parent) : QObject(parent)
{
    ticker_ = new QTimer(this);
    ticker_->setInterval(ProgressIntervalMs);
    connect(ticker_, &QTimer::timeout, this, [this] {
        if (run_) emit Progress(run_->State.Progress());
    });
}

TBackgroundTask::~TBackgroundTask()
{
    Cancel();
}

void TBackgroundTask::StartWork(std::function<void(Token&)> work, std::function<void()> done,
                                std::function<void(std::exception_ptr)> failed)
{
    Cancel();
    auto run = std::make_unique<Run>();
    run->Id = ++runs_;
    run->Work = std::move(work);
    run->Done = std::move(done);
    run->Failed = std::move(failed);
    Run* const started = run.get();
    const uint64_t id = run->Id;
    run_ = std::move(run);
    const auto handOver = [this, id] {
        // This task outlives the thread: it joins it before it goes.
        QMetaObject::invokeMethod(
            this, [this, id] { Deliver(id); }, Qt::QueuedConnection);
    };
    try {
        started->Thread = std::thread([started, handOver] {
            try {
                started->Work(started->State);
            } catch (...) {
                started->Failure = std::current_exception();
            }
            handOver();
        });
    } catch (const std::system_error&) {
        // No thread to be had: the failure is handed over as the work's would be.
        started->Failure = std::current_exception();
        handOver();
    }
    ticker_->start();
}

void TBackgroundTask::Deliver(uint64_t id)
{
    if (!run_ || run_->Id != id) return; // cancelled meanwhile
    const std::unique_ptr<Run> run = std::move(run_);
    if (run->Thread.joinable()) run->Thread.join(); // handing over was its last step
    ticker_->stop();
    if (waitLoop_) waitLoop_->quit(); // Wait returns once this has run
    if (!run->Failure)
        run->Done();
    else if (run->Failed)
        run->Failed(run->Failure);
    else
        std::rethrow_exception(run->Failure);
}

void TBackgroundTask::Cancel()
{
    if (!run_) return;
    const std::unique_ptr<Run> run = std::move(run_);
    run->State.control_.Cancel.store(true);
    if (run->Thread.joinable()) run->Thread.join();
    ticker_->stop();
    if (waitLoop_) waitLoop_->quit();
}

void TBackgroundTask::Wait(QProgressDialog& dialog)
{
    if (!run_) return;
    const uint64_t id = run_->Id;
    dialog.setRange(0, 1000);
    dialog.setMinimumDuration(0);
    dialog.setAutoReset(false);
    dialog.setAutoClose(false);
    if (dialog.windowModality() == Qt::NonModal) dialog.setWindowModality(Qt::WindowModal);
    QEventLoop loop;
    connect(&dialog, &QProgressDialog::canceled, &loop, [this, id] {
        if (run_ && run_->Id == id) run_->State.control_.Cancel.store(true);
    });
    connect(this, &TBackgroundTask::Progress, &loop, [&dialog](double fraction) {
        // A full bar waits for the result.
        dialog.setValue(int(std::min(999.0, 1000.0 * fraction)));
    });
    QEventLoop* const outer = std::exchange(waitLoop_, &loop);
    dialog.show();
    if (run_ && run_->Id == id) loop.exec();
    waitLoop_ = outer;
}
