// Work on other threads: the kernel's row splitter and the interface's background task.

#include "BackgroundTask.h"
#include "imgkernel.h"

#include <QProgressDialog>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <pthread.h>
#include <stdexcept>
#include <thread>

namespace {

/** Waits (without events) until `condition` holds, for at most 10 s. */
template <class Condition> bool Await(Condition condition)
{
    for (int i = 0; i < 10000 && !condition(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return condition();
}

} // namespace

class TestThreads : public QObject
{
    Q_OBJECT

private slots:
    void bandsCoverTheRowsOnce_data()
    {
        QTest::addColumn<RowSplit>("split");
        QTest::addColumn<unsigned>("threads");
        QTest::addColumn<int>("bands");
        QTest::newRow("one row") << RowSplit{.Rows = 1, .Threads = 4} << 1u << 1;
        QTest::newRow("too little work") << RowSplit{10, 4, 10, 51} << 1u << 1;
        QTest::newRow("work for two") << RowSplit{10, 4, 10, 50} << 2u << 2;
        QTest::newRow("uneven rows") << RowSplit{.Rows = 10, .Threads = 3} << 3u << 3;
        QTest::newRow("fewer rows than threads") << RowSplit{.Rows = 3, .Threads = 8} << 3u << 3;
        QTest::newRow("bands of 10") << RowSplit{103, 4, 1, 0, 10} << 4u << 11;
        QTest::newRow("fewer bands than threads") << RowSplit{25, 8, 1, 0, 10} << 3u << 3;
        QTest::newRow("a thread a core") << RowSplit{.Rows = 1000} << ProcessorCores() << 0;
    }

    void bandsCoverTheRowsOnce()
    {
        QFETCH(RowSplit, split);
        QFETCH(unsigned, threads);
        QFETCH(int, bands);
        std::mutex lock;
        std::map<int64_t, int64_t> ends; // band begin → end
        std::map<unsigned, std::thread::id> workers{{0, std::this_thread::get_id()}};
        bool consistent = true; // a worker is one thread, worker 0 this one
        QCOMPARE(RowSplitThreads(split), threads);
        QCOMPARE(SplitRows(split,
                           [&](int64_t begin, int64_t end, unsigned worker) {
                               std::this_thread::sleep_for(std::chrono::microseconds(200));
                               const std::lock_guard<std::mutex> hold(lock);
                               const auto id = std::this_thread::get_id();
                               consistent &= ends.emplace(begin, end).second && worker < threads &&
                                             workers.emplace(worker, id).first->second == id;
                           }),
                 threads);
        QVERIFY(consistent);
        QCOMPARE(int(ends.size()), bands ? bands : int(threads));
        int64_t next = 0;
        std::set<int64_t> lengths;
        for (const auto& [begin, end] : ends) {
            QCOMPARE(begin, next); // contiguous, no row twice, none left out
            lengths.insert((next = end) - begin);
        }
        QCOMPARE(next, split.Rows); // bands of BandRows (the last shorter) or of equal rows ± 1
        QVERIFY(split.BandRows ? *lengths.rbegin() == std::min(split.BandRows, split.Rows)
                               : *lengths.rbegin() - *lengths.begin() <= 1);
    }

    void refusedThreadsAndExceptions()
    {
        QCOMPARE(SplitRows({.Rows = 0}, [](int64_t, int64_t, unsigned) { QFAIL("no rows"); }), 0u);
        QCOMPARE(RowSplitThreads({INT64_MAX / 2, 4, int64_t(1) << 40, 1}), 4u); // no overflow
#ifndef __SANITIZE_ADDRESS__ // whose thread start reads the stack size itself
        // Threads with stacks larger than the address space cannot start: this one does all.
        pthread_attr_t refusing, saved;
        pthread_getattr_default_np(&saved);
        pthread_attr_init(&refusing);
        pthread_attr_setstacksize(&refusing, size_t(1) << 60);
        pthread_setattr_default_np(&refusing);
        int64_t covered = 0;
        const unsigned ran = SplitRows({.Rows = 100, .Threads = 4},
                                       [&](int64_t b, int64_t e, unsigned) { covered += e - b; });
        pthread_setattr_default_np(&saved);
        QVERIFY(ran == 1 && covered == 100);
#endif
        // The first band a helper runs throws; the caller gets it after the joins, and no
        // band begins after it.
        std::atomic<bool> helperRan{false};
        std::atomic<int> begun{0};
        QVERIFY_THROWS_EXCEPTION(std::runtime_error,
                                 SplitRows({.Rows = 1000, .Threads = 2, .BandRows = 1},
                                           [&](int64_t, int64_t, unsigned w) {
                                               ++begun;
                                               if (w == 0)
                                                   return void(
                                                       Await([&] { return helperRan.load(); }));
                                               helperRan = true;
                                               throw std::runtime_error("band");
                                           }));
        QVERIFY(begun < 10);
    }

    void handOverCancelAndDestroy()
    {
        auto owner = std::make_unique<QObject>();
        auto* task = new TBackgroundTask(owner.get());
        QStringList outcomes; // marked when not on this thread or while still running
        const auto note = [&](const QString& text) {
            outcomes << text + (QThread::currentThread() != thread() || task->Running() ? "!" : "");
        };
        const auto done = [&](auto& value) { note(QString::number(value)); };
        const auto failed = [&](std::exception_ptr error) {
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                note(e.what());
            }
        };
        std::atomic<int> returned{0}, cancelled{0};
        for (const bool fail : {false, true}) {
            task->Start(
                [&](auto&) {
                    return ++returned && (fail || QThread::currentThread() == thread())
                               ? throw std::runtime_error("no")
                               : 42;
                },
                done, failed);
            // Handed over by the event loop, never at once.
            QVERIFY(task->Running() && Await([&] { return returned == 1 + fail; }) &&
                    outcomes.size() == fail);
            QTRY_VERIFY(!task->Running());
        }
        // A spectrum of one 400000-voxel line takes minutes; only its token stops it.
        ByteVolume wide;
        wide.Allocate(400000, 1, 1);
        const auto spectrum = [&](TBackgroundTask::Token& token) {
            return cancelled +=
                   ComputeLagSpectrum(wide, SpectrumLine, 0, 0, &token.Spectrum(1)).Cancelled;
        };
        task->Start(spectrum, done);
        task->Cancel(); // joins
        task->Start(spectrum, done);
        task->Start([](auto&) { return 7; }, done); // cancels the last
        QCOMPARE(cancelled.load(), 2);
        QTRY_COMPARE(outcomes.size(), 3);
        task->Start(spectrum, done);
        (new TBackgroundTask(owner.get()))->Start([&](auto&) { return ++returned; }, done);
        QVERIFY(Await([&] { return returned == 3; }));
        owner.reset(); // destroys one task mid-work, the other before it hands over
        QCOMPARE(cancelled.load(), 3);
        QTest::qWait(100);
        QCOMPARE(outcomes, QStringList({"42", "no", "7"}));
    }

    void progressIsCoalescedAndWaitFollowsIt()
    {
        TBackgroundTask task;
        QList<double> seen;
        connect(&task, &TBackgroundTask::Progress, this, [&](double fraction) {
            QVERIFY(QThread::currentThread() == thread());
            seen.append(fraction);
        });
        task.Start(
            [&](TBackgroundTask::Token& token) {
                for (int i = 0; i <= 100000; ++i)
                    token.Report(i / 200000.0);
                token.Spectrum(400).Done = 300;
                for (int i = 0; i < 10000 && !token.Cancelled(); ++i) // until Esc
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                return token.Cancelled() ? token.Progress() : 0.0;
            },
            [&](double& fraction) { seen.append(-fraction); });
        QProgressDialog dialog(QStringLiteral("Working"), QStringLiteral("Cancel"), 0, 100);
        QTimer watch;
        connect(&watch, &QTimer::timeout, [&] {
            if (dialog.value() == 750 && dialog.isVisible() && dialog.isModal())
                QTest::keyClick(&dialog, Qt::Key_Escape);
        });
        watch.start(5);
        task.Wait(dialog);
        QVERIFY(!task.Running() && seen.size() < 100);
        QCOMPARE(seen.last(), -0.75); // the result, handed over before Wait returned
        QVERIFY(std::is_sorted(seen.begin(), seen.end() - 1));
    }
};

QTEST_MAIN(TestThreads)
#include "tst_threads.moc"
