#pragma once

#include "Spectrum.h"

#include <QObject>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>

class QEventLoop;
class QProgressDialog;
class QTimer;

/**
 * Work run on a thread of its own beside the interface, one at a time. Started from the
 * interface thread, the work polls a token to learn that it is cancelled and reports
 * its progress through it; what it returns, or the exception it throws, is handed to
 * the interface thread, which does not wait for it (Wait excepted). The task's members
 * are for the interface thread, the token's for any.
 *
 * Destroying the task cancels the work under way and waits for its thread, so the work
 * may use what its owner holds as long as the owner destroys the task first (declares
 * it after that data).
 */
class TBackgroundTask : public QObject
{
    Q_OBJECT

public:
    /** What the work sees of its task. Every member may be used from any thread. */
    class Token
    {
    public:
        /** True once the task is cancelled: the work should return soon. */
        bool Cancelled() const { return control_.Cancel.load(std::memory_order_relaxed); }
        /** Reports that `fraction` (0 … 1) of the work is done; the interface hears the latest. */
        void Report(double fraction);
        /**
         * The token as a spectrum's control: its Cancel is the task's, and the byte
         * differences it counts are the progress, out of `total`.
         */
        SpectrumControl& Spectrum(int64_t total);
        /** The fraction of the work done, 0 … 1. */
        double Progress() const;

    private:
        friend class TBackgroundTask;
        SpectrumControl control_;       ///< the cancel flag, and the work done …
        std::atomic<int64_t> total_{0}; ///< … out of this much
    };

    /** How often (ms) Progress is emitted while a task runs. */
    static constexpr int ProgressIntervalMs = 40;

    explicit TBackgroundTask(QObject* parent = nullptr);
    /** Cancels the task under way, if any, and waits for its thread. */
    ~TBackgroundTask() override;

    /**
     * Starts work(token) on a thread of its own, after cancelling the task under way.
     * When the work returns, done(result) runs on the interface thread, the result an
     * lvalue to take from; when it throws, failed(exception) runs there instead, or
     * without a `failed` the exception is thrown again there. Neither runs for a task
     * ended by Cancel. The task no longer counts as running when they do, so they may
     * start another.
     */
    template <class Work, class Done>
    void Start(Work work, Done done, std::function<void(std::exception_ptr)> failed = {})
    {
        auto result = std::make_shared<std::optional<std::invoke_result_t<Work&, Token&>>>();
        StartWork([work = std::move(work),
                   result](Token& token) mutable { result->emplace(work(token)); },
                  [done = std::move(done), result]() mutable { done(**result); },
                  std::move(failed));
    }

    /** True from Start until the task's result is handed over, or until Cancel. */
    bool Running() const { return run_ != nullptr; }

    /**
     * Cancels the task under way, if any: the token says so, its thread is waited for
     * (the work polls the token, so briefly) and nothing of it is handed over.
     */
    void Cancel();

    /**
     * Waits for the task under way behind `dialog`, which it shows window-modal with a
     * range of 0 … 1000 following the progress, until the task's result (or exception)
     * has been handed over, which happens before this returns. The window stays painted
     * meanwhile. The dialog's Cancel, or Esc, cancels the work through its token
     * without dropping it: what the cancelled work returns is still handed over.
     */
    void Wait(QProgressDialog& dialog);

signals:
    /** The fraction of the work done, on the interface thread every ProgressIntervalMs. */
    void Progress(double fraction);

private:
    struct Run;

    void StartWork(std::function<void(Token&)> work, std::function<void()> done,
                   std::function<void(std::exception_ptr)> failed);
    /** Hands over the result of run `id`, unless that run was cancelled meanwhile. */
    void Deliver(uint64_t id);

    std::unique_ptr<Run> run_;
    uint64_t runs_ = 0;              ///< runs started, the id of the last
    QTimer* ticker_ = nullptr;       ///< emits Progress while a task runs
    QEventLoop* waitLoop_ = nullptr; ///< the loop of Wait, while it waits
};
