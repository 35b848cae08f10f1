// The command line under abuse: missing, repeated, empty and oversized arguments,
// awkward file names, special files and hostile headers, each run as a process with
// a bound on its time, and output that cannot be written. And saves that are killed
// half-way: the target keeps its old bytes or holds the new ones, never a mix.

#include "ByteVolume.h"
#include "IcsWriter.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

/** Every run must end within this time; each one normally takes well under a second. */
constexpr int RunBoundMs = 5000;

struct Run
{
    QByteArray out, err;
    int status = -1; ///< the exit status; -1 after a crash or a timeout
    bool timedOut = false;
    qint64 elapsedMs = 0;
};

std::string Std(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

/** A clean environment without any display, as on a build server. */
QProcessEnvironment NoDisplay()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR"})
        environment.remove(QString::fromLatin1(name));
    return environment;
}

/**
 * Runs the program without a display in `folder`; a run that outlives the bound is
 * killed.
 */
Run RunProgram(const QStringList& arguments, const QString& folder, int boundMs = RunBoundMs)
{
    QProcess process;
    process.setProcessEnvironment(NoDisplay());
    process.setWorkingDirectory(folder);
    QElapsedTimer clock;
    clock.start();
    process.start(QStringLiteral(VOLINSPECT_EXE), arguments);
    Run run;
    if (!process.waitForFinished(boundMs)) {
        process.kill();
        process.waitForFinished();
        run.timedOut = true;
    }
    run.elapsedMs = clock.elapsed();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    if (!run.timedOut && process.exitStatus() == QProcess::NormalExit)
        run.status = process.exitCode();
    return run;
}

QByteArray Alternating(int width)
{
    QByteArray line(width, '\0');
    for (int i = 1; i < width; i += 2)
        line[i] = char(255);
    return line;
}

/** Writes a raw volume of `rows` × `slices` lines all equal to `line`. */
QString WriteLines(const QString& path, const QByteArray& line, int rows = 1, int slices = 1)
{
    ByteVolume volume;
    volume.Allocate(int(line.size()), rows, slices);
    for (int z = 0; z < slices; ++z)
        for (int y = 0; y < rows; ++y)
            std::copy(line.begin(), line.end(), volume.VoxelPtr(0, y, z));
    if (volume.SaveRaw(Std(path)) != 0) qFatal("cannot write test file");
    return path;
}

/** Writes a version 1 ICS pair (NAME.ics and NAME.ids) of one line of 8-bit samples. */
QString WriteIcsLine(const QString& path, const QByteArray& line)
{
    std::string message;
    if (!WriteIcsVolume(Std(path), size_t(line.size()), 1, 1, line.constData(), IcsWriteOptions{},
                        &message))
        qFatal("cannot write ICS test file: %s", message.c_str());
    return path;
}

/** Writes just a raw volume header with the given sizes, and `extra` data bytes. */
QString WriteRawHeader(const QString& path, int32_t x, int32_t y, int32_t z, int extra = 0)
{
    QByteArray bytes;
    for (const int32_t size : {x, y, z})
        for (int shift = 0; shift < 32; shift += 8)
            bytes.append(char(uint32_t(size) >> shift));
    bytes.append(QByteArray(extra, '\x7f'));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write test file");
    return path;
}

QString Exact(const QByteArray& text)
{
    return QRegularExpression::escape(QString::fromUtf8(text));
}

QString CannotLoad(const QString& path, const QByteArray& reason)
{
    return Exact("volinspect: cannot load '" + QFile::encodeName(path) + "': " + reason + "\n");
}

/** Matches the whole of `text` against `pattern`. */
bool Matches(const QByteArray& text, const QString& pattern)
{
    const QRegularExpression expression(QRegularExpression::anchoredPattern(pattern),
                                        QRegularExpression::DotMatchesEverythingOption);
    return expression.match(QString::fromUtf8(text)).hasMatch();
}

const QString NoDisplayMessage = QStringLiteral("volinspect: no display available: [^\\n]*\\n");

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

/**
 * A writer that waits in a blocking open() of a FIFO from another thread: it gets
 * through only when someone opens the FIFO for reading. On destruction it lets the
 * writer through itself and joins it.
 */
class WaitingWriter
{
public:
    explicit WaitingWriter(const QString& fifo) : path_(Std(fifo))
    {
        thread_ = std::thread([this] {
            const int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd >= 0) {
                if (!released_) gotReader_ = true;
                ::close(fd);
            }
        });
    }
    ~WaitingWriter()
    {
        released_ = true;
        const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        thread_.join();
        if (fd >= 0) ::close(fd);
    }
    bool GotReader() const { return gotReader_; }

private:
    std::string path_;
    std::atomic<bool> released_{false};
    std::atomic<bool> gotReader_{false};
    std::thread thread_;
};

/** The total size of the files in `folder` whose names begin with `prefix`. */
qint64 BytesUnder(const std::string& folder, const std::string& prefix)
{
    qint64 total = 0;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(d)) {
            struct stat st
            {
            };
            if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0 &&
                ::stat((folder + "/" + entry->d_name).c_str(), &st) == 0)
                total += st.st_size;
        }
        ::closedir(d);
    }
    return total;
}

/** True when the file at `path` holds exactly the raw file of `volume`. */
bool HoldsVolume(const QString& path, const ByteVolume& volume)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    const qint64 count = volume.VoxelCount();
    if (file.size() != 12 + count) return false;
    const QByteArray header = file.read(12);
    for (int i = 0; i < 3; ++i) {
        const int32_t size = i == 0 ? volume.SizeX : i == 1 ? volume.SizeY : volume.SizeZ;
        for (int b = 0; b < 4; ++b)
            if (uint8_t(header[i * 4 + b]) != uint8_t(uint32_t(size) >> (8 * b))) return false;
    }
    constexpr qint64 Chunk = qint64(1) << 22;
    for (qint64 done = 0; done < count; done += Chunk) {
        const QByteArray block = file.read(std::min(Chunk, count - done));
        if (block.size() != std::min(Chunk, count - done) ||
            std::memcmp(block.constData(), volume.Data + done, size_t(block.size())) != 0)
            return false;
    }
    return true;
}

} // namespace

class TestCliAbuse : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void sweep_data();
    void sweep();
    void unfinishedPassOpensWindow();
    void fifoIsNeverOpened_data();
    void fifoIsNeverOpened();
    void dataFileSwappedForFifo();
    void icsWriterLongName();
    void vanishedFile();
    void unreadableFile();
    void unwritableOutput();

    void killedSaveKeepsTarget_data();
    void killedSaveKeepsTarget();
    void refusedSave_data();
    void refusedSave();

private:
    QTemporaryDir dir;
    QString good;   ///< a raw volume whose figure is 204.000
    QString rising; ///< a raw volume whose figure is 0.000
};

void TestCliAbuse::initTestCase()
{
    QVERIFY(dir.isValid());
    good = WriteLines(dir.filePath("good.raw"), Alternating(12));
    QByteArray ramp(30, '\0');
    for (int i = 0; i < ramp.size(); ++i)
        ramp[i] = char(i * 8);
    rising = WriteLines(dir.filePath("ramp.raw"), ramp, 3, 2);
}

void TestCliAbuse::cleanupTestCase()
{
    // Lets the temporary folder remove what a test locked.
    QFile::setPermissions(dir.filePath("locked folder"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void TestCliAbuse::sweep_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QString>("err"); // a pattern for the whole of standard error
    QTest::addColumn<int>("status");  // -1: 0 or 1

    const QString missing = dir.filePath("missing.raw");
    const QString noSuchFile = CannotLoad(missing, "No such file or directory");

    // An option that lacks its argument ends the pass; the window then needs a display.
    // A "-exit" taken as that argument is text or a file name, not the end of the run.
    QTest::newRow("-load last") << QStringList{"-load"} << QByteArray() << NoDisplayMessage << 2;
    QTest::newRow("-echo last") << QStringList{"-echo"} << QByteArray() << NoDisplayMessage << 2;
    QTest::newRow("-echo last after a load") << QStringList{"-load", good, "-echohighpeak", "-echo"}
                                             << QByteArray() << NoDisplayMessage << 2;
    QTest::newRow("-exit as the text of -echo")
        << QStringList{"-echo", "-exit"} << QByteArray() << NoDisplayMessage << 2;
    QTest::newRow("-exit as the file of -load")
        << QStringList{"-load", "-exit"} << QByteArray()
        << "(" + CannotLoad("-exit", "No such file or directory") + ")?" + NoDisplayMessage << 2;

    // Repeated options. Every word the pass does not use is warned about.
    const QString afterExit = QStringLiteral("volinspect: ignoring '-exit' after -exit\n");
    QTest::newRow("-exit twice") << QStringList{"-exit", "-exit"} << QByteArray() << afterExit << 0;
    QTest::newRow("the second load wins")
        << QStringList{"-load", good, "-load", rising, "-echohighpeak", "-exit"}
        << QByteArray("0.000") << QString() << 0;
    QTest::newRow("the second load wins, other order")
        << QStringList{"-load", rising, "-load", good, "-echohighpeak", "-exit"}
        << QByteArray("204.000") << QString() << 0;
    QTest::newRow("figure asked three times")
        << QStringList{"-load",         good,   "-echohighpeak", "-echohighpeak", "-echonewline",
                       "-echohighpeak", "-exit"}
        << QByteArray("204.000204.000\n204.000") << QString() << 0;
    QTest::newRow("line ends in a row")
        << QStringList{"-echonewline", "-echonewline", "-echonewline", "-exit"}
        << QByteArray("\n\n\n") << QString() << 0;
    QTest::newRow("failed load, then -exit twice")
        << QStringList{"-load", missing, "-exit", "-exit"} << QByteArray() << noSuchFile + afterExit
        << 1;
    QTest::newRow("two failed loads of the same file")
        << QStringList{"-load", missing, "-load", missing, "-echohighpeak", "-exit"}
        << QByteArray("nan") << noSuchFile + noSuchFile << 1;

    // Only the exact spelling is an option.
    QTest::newRow("-EXIT alone is no exit")
        << QStringList{"-EXIT"} << QByteArray() << NoDisplayMessage << 2;
    const auto unknown = [](const QString& word) {
        return "volinspect: ignoring unknown option '" + Exact(word.toUtf8()) +
               "' \\(see --help\\)\n";
    };
    const auto noSuchWord = [](const QString& word) {
        return "volinspect: ignoring '" + Exact(word.toUtf8()) + "': no such file or option\n";
    };
    QTest::newRow("options in other cases")
        << QStringList{"-Load",         missing,        "-ECHO", "x",
                       "-EchoHighPeak", "-ECHONEWLINE", "-Exit", "-exit"}
        << QByteArray()
        << unknown("-Load") + noSuchWord(missing) + unknown("-ECHO") + noSuchWord("x") +
               unknown("-EchoHighPeak") + unknown("-ECHONEWLINE") + unknown("-Exit")
        << 0;
    // A line end in a word is shown as \x0a, not passed on to the terminal.
    QTest::newRow("near misses") << QStringList{"-echo",          "a",      "-exit ", " -exit",
                                                "--exit",         "-echo ", "b",      "exit",
                                                "-echonewline\n", "-echo",  "c",      "-exit"}
                                 << QByteArray("ac")
                                 << unknown("-exit ") + noSuchWord(" -exit") + unknown("--exit") +
                                        unknown("-echo ") + noSuchWord("b") + noSuchWord("exit") +
                                        unknown("-echonewline\\x0a")
                                 << 0;

    // Empty strings.
    QTest::newRow("empty options")
        << QStringList{"", "", "-exit"} << QByteArray()
        << QStringLiteral("(volinspect: ignoring an empty argument\n){2}") << 0;
    QTest::newRow("empty file name")
        << QStringList{"-load", "", "-echohighpeak", "-exit"} << QByteArray("nan")
        << Exact("volinspect: cannot load '': no file name given\n") << 1;
    QTest::newRow("empty text") << QStringList{"-echo", "", "-echonewline", "-exit"}
                                << QByteArray("\n") << QString() << 0;

    // Very long arguments.
    QByteArray text;
    for (int i = 0; text.size() < 100 * 1024; ++i)
        text += QByteArray::number(i) + ' ';
    QTest::newRow("100 kB of text")
        << QStringList{"-echo", QString::fromLatin1(text), "-exit"} << text << QString() << 0;
    // Quoted shortened in its warning.
    QTest::newRow("100 kB option that is none")
        << QStringList{QString::fromLatin1(text), "-echo", "x", "-exit"} << QByteArray("x")
        << QStringLiteral("volinspect: ignoring '0 1 2 3 [0-9 ]{40,60}\\.\\.\\.': no such file "
                          "or option\n")
        << 0;
    const QString longRaw = dir.filePath(QString(5000, QLatin1Char('n')) + ".raw");
    const QString longIcs = dir.filePath(QString(5000, QLatin1Char('n')) + ".ics");
    QTest::newRow("5000-character raw file name")
        << QStringList{"-load", longRaw, "-echohighpeak", "-exit"} << QByteArray("nan")
        << CannotLoad(longRaw, "File name too long") << 1;
    QTest::newRow("5000-character ICS file name")
        << QStringList{"-load", longIcs, "-echohighpeak", "-exit"} << QByteArray("nan")
        << CannotLoad(longIcs, "File name too long") << 1;
    // Longer than the ICS library's own limit on names, far below the system's: refused
    // with that reason rather than a misleading open error.
    QString deep = dir.path();
    for (int i = 0; i < 4; ++i)
        deep += QLatin1Char('/') + QString(150, QLatin1Char('d'));
    QVERIFY(QDir().mkpath(deep));
    const QString deepIcs = deep + "/deep.ics";
    WriteIcsLine(dir.filePath("shallow.ics"), Alternating(12));
    QCOMPARE(::rename(Std(dir.filePath("shallow.ics")).c_str(), Std(deepIcs).c_str()), 0);
    QCOMPARE(::rename(Std(dir.filePath("shallow.ids")).c_str(), Std(deep + "/deep.ids").c_str()),
             0);
    QTest::newRow("ICS file behind a 600-character path")
        << QStringList{"-load", deepIcs, "-echohighpeak", "-exit"} << QByteArray("nan")
        << CannotLoad(deepIcs, "the name is longer than the 511 bytes the ICS reader accepts") << 1;

    // Awkward names that are still ordinary files.
    const QString umlaut = WriteLines(
        dir.filePath(QString::fromUtf8("vol \xC3\xBCmlaut \xC3\xB1.raw")), Alternating(12));
    const QString umlautIcs = WriteIcsLine(
        dir.filePath(QString::fromUtf8("vol \xC3\xBCmlaut \xC3\xB1.ics")), Alternating(12));
    WriteLines(dir.filePath("-echo"), Alternating(12)); // in the working folder of the runs
    const QString quoted = WriteLines(dir.filePath("it's\nhere \"too\".raw"), Alternating(12));
    QTest::newRow("raw name with spaces and non-ASCII letters")
        << QStringList{"-load", umlaut, "-echohighpeak", "-exit"} << QByteArray("204.000")
        << QString() << 0;
    QTest::newRow("ICS name with spaces and non-ASCII letters")
        << QStringList{"-load", umlautIcs, "-echohighpeak", "-exit"} << QByteArray("204.000")
        << QString() << 0;
    // The taken name is then tested as an option too: here it echoes "x".
    QTest::newRow("file named like an option")
        << QStringList{"-load", "-echo", "x", "-echohighpeak", "-exit"} << QByteArray("x204.000")
        << QString() << 0;
    QTest::newRow("name with quotes and a line end")
        << QStringList{"-load", quoted, "-echohighpeak", "-exit"} << QByteArray("204.000")
        << QString() << 0;
    const QString link = dir.filePath("link.raw");
    const QString dangling = dir.filePath("dangling.raw");
    QVERIFY(QFile::link(good, link));
    QVERIFY(QFile::link(dir.filePath("gone.raw"), dangling));
    QTest::newRow("symbolic link") << QStringList{"-load", link, "-echohighpeak", "-exit"}
                                   << QByteArray("204.000") << QString() << 0;
    QTest::newRow("dangling symbolic link")
        << QStringList{"-load", dangling, "-echohighpeak", "-exit"} << QByteArray("nan")
        << CannotLoad(dangling, "No such file or directory") << 1;

    // Things that are not files.
    QTest::newRow("folder") << QStringList{"-load", dir.path(), "-echohighpeak", "-exit"}
                            << QByteArray("nan")
                            << CannotLoad(dir.path(), "it is a folder, not a file") << 1;
    const QString icsFolder = dir.filePath("folder.ics");
    QVERIFY(QDir().mkpath(icsFolder));
    QTest::newRow("folder named .ics")
        << QStringList{"-load", icsFolder, "-echohighpeak", "-exit"} << QByteArray("nan")
        << CannotLoad(icsFolder, "it is a folder, not a file") << 1;
    QTest::newRow("/dev/null") << QStringList{"-load", "/dev/null", "-echohighpeak", "-exit"}
                               << QByteArray("nan")
                               << CannotLoad("/dev/null", "it is not a regular file") << 1;
    QTest::newRow("/dev/zero") << QStringList{"-load", "/dev/zero", "-echohighpeak", "-exit"}
                               << QByteArray("nan")
                               << CannotLoad("/dev/zero", "it is not a regular file") << 1;
    QTest::newRow("a failure between two good loads")
        << QStringList{"-load", good,   "-load",         "/dev/zero", "-echohighpeak",
                       "-load", rising, "-echohighpeak", "-exit"}
        << QByteArray("nan0.000") << CannotLoad("/dev/zero", "it is not a regular file") << 1;

    // Raw headers with sizes no volume can have.
    struct Hostile
    {
        const char* name;
        int32_t x, y, z;
        QString reason;
    };
    const QString negative = QStringLiteral("the raw volume header gives a negative size \\(.*\\)");
    const QString tooLarge =
        QStringLiteral("the raw volume header asks for .* voxels, more than this machine can hold");
    for (const Hostile& h : {
             Hostile{"negative width", -1, 4, 4, negative},
             Hostile{"negative height", 4, -1, 4, negative},
             Hostile{"negative depth", 4, 4, -12, negative},
             Hostile{"smallest sizes", INT32_MIN, INT32_MIN, INT32_MIN, negative},
             Hostile{"product overflows 64 bits", INT32_MAX, INT32_MAX, INT32_MAX, tooLarge},
             Hostile{"product beyond any memory", INT32_MAX, INT32_MAX, 2, tooLarge},
             Hostile{"product wraps to a small 32-bit value", 65536, 65536, 65537, tooLarge},
         }) {
        const QString path =
            WriteRawHeader(dir.filePath(QString::fromLatin1(h.name) + ".raw"), h.x, h.y, h.z, 64);
        QTest::newRow(h.name) << QStringList{"-load", path, "-echohighpeak", "-exit"}
                              << QByteArray("nan")
                              << Exact("volinspect: cannot load '" + QFile::encodeName(path) +
                                       "': ") +
                                     h.reason + "\\n"
                              << 1;
    }
    const QString shortHeader = dir.filePath("short header.raw");
    {
        QFile file(shortHeader);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write("\x0c\0\0\0\x01\0\0\0\x01\0\0", 11), 11);
    }
    QTest::newRow("header one byte short")
        << QStringList{"-load", shortHeader, "-echohighpeak", "-exit"} << QByteArray("nan")
        << CannotLoad(shortHeader, "the file is shorter than the 12-byte raw volume header") << 1;
    // A twelve-byte file may claim a wide volume; whether it is loaded (with a
    // warning) or refused, the run must not spend minutes on it.
    const QString wide = WriteRawHeader(dir.filePath("wide.raw"), 1 << 20, 1, 1);
    QTest::newRow("header claims a wide volume over no data")
        << QStringList{"-load", wide, "-exit"} << QByteArray()
        << "volinspect: (warning: '" + Exact(QFile::encodeName(wide)) +
               "': the data section holds 0 of 1048576 voxel bytes; the rest are 0|cannot load '" +
               Exact(QFile::encodeName(wide)) + "': [^\\n]+)\\n"
        << -1;
}

void TestCliAbuse::sweep()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, out);
    QFETCH(QString, err);
    QFETCH(int, status);

    const Run run = RunProgram(arguments, dir.path());
    QVERIFY2(!run.timedOut, qPrintable(QStringLiteral("the run did not end within %1 ms; "
                                                      "standard error so far: %2")
                                           .arg(RunBoundMs)
                                           .arg(QString::fromUtf8(run.err.left(300)))));
    QVERIFY2(Matches(run.err, err), run.err.right(400).constData());
    QCOMPARE(run.out, out);
    if (status < 0)
        QVERIFY2(run.status == 0 || run.status == 1, QByteArray::number(run.status));
    else
        QCOMPARE(run.status, status);
}

void TestCliAbuse::unfinishedPassOpensWindow()
{
    // With a screen, an option that lacks its argument ends the pass with a warning and
    // the window opens: the process is still running.
    QTemporaryDir runtime;
    QVERIFY(runtime.isValid());
    QVERIFY(QFile::setPermissions(runtime.path(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QProcessEnvironment environment = NoDisplay();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("XDG_RUNTIME_DIR", runtime.path());

    const struct
    {
        QStringList arguments;
        QByteArray messages; // the program's own lines on standard error
    } cases[] = {
        {{"-load"}, "volinspect: ignoring '-load' at the end: it needs a file name after it\n"},
        {{"-echo"}, "volinspect: ignoring '-echo' at the end: it needs a text after it\n"},
        {{"-echo", "x", "-echo"},
         "volinspect: ignoring '-echo' at the end: it needs a text after it\n"},
        {{"-load", good, "-echohighpeak", "-load"},
         "volinspect: ignoring '-load' at the end: it needs a file name after it\n"},
        {{"-echo", "-exit"}, {}},
        {{"-load", "-exit"}, "volinspect: cannot load '-exit': No such file or directory\n"},
    };
    std::vector<std::unique_ptr<QProcess>> processes;
    for (const auto& c : cases) {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment);
        process->start(QStringLiteral(VOLINSPECT_EXE), c.arguments);
        QVERIFY(process->waitForStarted());
        processes.push_back(std::move(process));
    }
    QThread::msleep(1500);
    for (size_t i = 0; i < processes.size(); ++i) {
        QProcess& process = *processes[i];
        const bool running = process.state() == QProcess::Running;
        process.kill();
        process.waitForFinished();
        const QByteArray err = process.readAllStandardError();
        QByteArray messages;
        for (const QByteArray& line : err.split('\n'))
            if (line.startsWith("volinspect: ")) messages += line + '\n';
        const QByteArray what = cases[i].arguments.join(' ').toUtf8();
        QVERIFY2(running, (what + ": ended early with status " +
                           QByteArray::number(process.exitCode()) + ": " + err.left(400))
                              .constData());
        QVERIFY2(messages == cases[i].messages, (what + ": " + err.left(400)).constData());
    }
}

void TestCliAbuse::fifoIsNeverOpened_data()
{
    QTest::addColumn<QString>("fifo");
    QTest::addColumn<QString>("load");
    QTest::addColumn<QString>("err");

    const QString raw = dir.filePath("pipe.raw");
    QCOMPARE(::mkfifo(Std(raw).c_str(), 0600), 0);
    QTest::newRow("raw file") << raw << raw << CannotLoad(raw, "it is not a regular file");

    const QString header = dir.filePath("pipe.ics");
    QCOMPARE(::mkfifo(Std(header).c_str(), 0600), 0);
    QTest::newRow("ICS header") << header << header
                                << CannotLoad(header, "it is not a regular file");

    // A good header whose data file is a FIFO.
    const QString pair = WriteIcsLine(dir.filePath("pipe data.ics"), Alternating(12));
    const QString data = dir.filePath("pipe data.ids");
    QVERIFY(QFile::remove(data));
    QCOMPARE(::mkfifo(Std(data).c_str(), 0600), 0);
    QTest::newRow("ICS data file")
        << data << pair
        << Exact("volinspect: cannot load '" + QFile::encodeName(pair) + "': ") + "[^\\n]+\\n";
}

void TestCliAbuse::fifoIsNeverOpened()
{
    QFETCH(QString, fifo);
    QFETCH(QString, load);
    QFETCH(QString, err);

    const WaitingWriter writer(fifo);
    const Run run = RunProgram({"-load", load, "-echohighpeak", "-exit"}, dir.path());
    QVERIFY2(!run.timedOut, "the run waited on the FIFO");
    QVERIFY(run.elapsedMs < 5000);
    QThread::msleep(100); // a writer let through by the run has set its flag by now
    QVERIFY2(!writer.GotReader(), "the FIFO was opened for reading");
    QCOMPARE(run.out, QByteArray("nan"));
    QVERIFY2(Matches(run.err, err), run.err.constData());
    QCOMPARE(run.status, 1);
}

void TestCliAbuse::dataFileSwappedForFifo()
{
    // The name of a data file given in turn to a FIFO while it loads: no load may wait on it.
    const QString header = WriteIcsLine(dir.filePath("swapped.ics"), Alternating(12));
    const std::string data = Std(dir.filePath("swapped.ids")), kept = data + "~", next = kept + "~";
    QCOMPARE(::link(data.c_str(), kept.c_str()), 0);
    std::jthread swapper([&](std::stop_token stop) {
        while (!stop.stop_requested()) // each rename gives the name to the other at once
            ::mkfifo(next.c_str(), 0600), ::rename(next.c_str(), data.c_str()),
                ::link(kept.c_str(), next.c_str()), ::rename(next.c_str(), data.c_str());
    });
    QStringList arguments;
    for (int i = 0; i < 20000; ++i)
        arguments += {"-load", header, "-echohighpeak"};
    const Run run = RunProgram(arguments << "-exit", dir.path(), 30000);
    QVERIFY2(!run.timedOut && run.out.count("204.000") + run.out.count("nan") == 20000, run.err);
}

void TestCliAbuse::icsWriterLongName()
{
    // A name longer than the ICS library keeps: the writer writes the named files or
    // fails, and never writes anywhere else.
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    QString deep = folder.path();
    for (int i = 0; i < 4; ++i)
        deep += QLatin1Char('/') + QString(150, QLatin1Char('d'));
    QVERIFY(QDir().mkpath(deep));
    const QString name = deep + "/deep.ics";
    const QByteArray line = Alternating(12);
    std::string message;
    const bool written = WriteIcsVolume(Std(name), size_t(line.size()), 1, 1, line.constData(),
                                        IcsWriteOptions{}, &message);
    QStringList files;
    for (QDirIterator it(folder.path(), QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
        files << it.next().mid(folder.path().size() + 1).replace(QString(150, 'd'), "D");
    files.sort();
    if (written) {
        QCOMPARE(files.join(", "), QStringLiteral("D/D/D/D/deep.ics, D/D/D/D/deep.ids"));
        ByteVolume volume;
        QCOMPARE(volume.Load(Std(name)), int32_t(ByteVolume::LoadOk));
        QCOMPARE(volume.SizeX, 12);
    } else {
        QVERIFY(!message.empty());
        QCOMPARE(files.join(", "), QString());
    }
}

void TestCliAbuse::vanishedFile()
{
    const QString path = WriteLines(dir.filePath("vanishing.raw"), Alternating(12), 3, 2);
    const QStringList arguments{"-load", rising, "-echohighpeak", "-echo", " ",
                                "-load", path,   "-echohighpeak", "-exit"};
    const Run before = RunProgram(arguments, dir.path());
    QCOMPARE(before.out, QByteArray("0.000 204.000"));
    QCOMPARE(before.status, 0);

    QVERIFY(QFile::remove(path));
    const Run after = RunProgram(arguments, dir.path());
    QCOMPARE(after.out, QByteArray("0.000 nan"));
    QVERIFY(Matches(after.err, CannotLoad(path, "No such file or directory")));
    QCOMPARE(after.status, 1);

    // In the program a failed load keeps the volume that was there.
    WriteLines(path, Alternating(12), 3, 2);
    ByteVolume volume;
    QCOMPARE(volume.Load(Std(path)), int32_t(ByteVolume::LoadOk));
    QVERIFY(QFile::remove(path));
    std::string message;
    QCOMPARE(volume.Load(Std(path), &message), int32_t(ByteVolume::LoadFailed));
    QCOMPARE(message, std::string("No such file or directory"));
    QCOMPARE(volume.SizeX, 12);
    QCOMPARE(volume.SizeY, 3);
    QCOMPARE(volume.SizeZ, 2);
    QCOMPARE(volume.Voxel(11, 2, 1), uint8_t(255));
}

void TestCliAbuse::unreadableFile()
{
    if (::geteuid() == 0) QSKIP("permissions do not stop the superuser from reading");
    const QString path = WriteLines(dir.filePath("locked.raw"), Alternating(12));
    QVERIFY(QFile::setPermissions(path, {}));
    const Run run = RunProgram({"-load", path, "-echohighpeak", "-exit"}, dir.path());
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
    QCOMPARE(run.out, QByteArray("nan"));
    QVERIFY2(Matches(run.err, CannotLoad(path, "Permission denied")), run.err.constData());
    QCOMPARE(run.status, 1);
}

void TestCliAbuse::unwritableOutput()
{
    // Output into a full disk, in every mode, or cut half way by the file size limit: one
    // message and status 3. Into a pipe without reader: the run ends by SIGPIPE, quietly.
    const QStringList table = QStringList{"--figures"} + QStringList(40, good) << "missing.raw";
    QList<QStringList> runs{{"--help"}, {"--version"}, {"-echo", "x", "-exit"}};
    runs << QStringList{"-load", good, "-echohighpeak", "-exit"} << table << table << table;
    for (int i = 0; i < runs.size(); ++i) {
        QProcess process;
        process.setStandardOutputFile(i < 5 ? "/dev/full" : i == 5 ? dir.filePath("cut.out") : "");
        process.setChildProcessModifier([i] {
            const rlimit limit{512, 512}; // on regular files only
            int ends[2];
            ::signal(SIGXFSZ, SIG_IGN);
            ::setrlimit(RLIMIT_FSIZE, &limit);
            if (i == 6 && ::pipe(ends) == 0 && ::close(ends[0]) == 0) ::dup2(ends[1], 1);
        });
        process.start(VOLINSPECT_EXE, runs[i]);
        QVERIFY(process.waitForFinished(RunBoundMs));
        const int status = process.exitStatus() ? -process.exitCode() : process.exitCode();
        QCOMPARE(process.readAllStandardError() + QByteArray::number(status),
                 i == 6 ? QByteArray::number(-SIGPIPE)
                        : "volinspect: cannot write the output: " +
                              QByteArray(std::strerror(i == 5 ? EFBIG : ENOSPC)) + "\n3");
    }
}

void TestCliAbuse::killedSaveKeepsTarget_data()
{
    QTest::addColumn<double>("killAt"); // the share of the new file written at the kill

    QTest::newRow("as the temporary file appears") << 0.0;
    QTest::newRow("half written") << 0.5;
    QTest::newRow("completely written, not yet in place") << 1.0;
}

void TestCliAbuse::killedSaveKeepsTarget()
{
    QFETCH(double, killAt);

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString target = folder.filePath("target.raw");
    WriteLines(target, "old contents");
    const QByteArray old = ReadAll(target);
    QCOMPARE(old.size(), 12 + 12);

    // 192 MiB, a different value in every slice: big enough that the write takes a
    // while, and any mix of old and new bytes shows.
    ByteVolume volume;
    volume.Allocate(4096, 4096, 12);
    for (int z = 0; z < volume.SizeZ; ++z)
        std::memset(volume.VoxelPtr(0, 0, z), 17 * z + 5, size_t(volume.StrideZ));
    const qint64 fullSize = 12 + volume.VoxelCount();

    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) _exit(volume.SaveRaw(Std(target)) == 0 ? 0 : 3);

    const std::string folderName = Std(folder.path());
    QElapsedTimer clock;
    clock.start();
    bool killed = false, finished = false;
    int status = 0;
    while (clock.elapsed() < 20000) {
        if (::waitpid(child, &status, WNOHANG) == child) {
            finished = true;
            break;
        }
        // New bytes under the target's name or beside it under a temporary one.
        const qint64 written = BytesUnder(folderName, "target.raw") - old.size();
        if (written >= std::max<qint64>(1, qint64(killAt * double(fullSize)))) {
            ::kill(child, SIGKILL);
            QCOMPARE(::waitpid(child, &status, 0), child);
            killed = true;
            break;
        }
        ::usleep(200);
    }
    if (!killed && !finished) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        QFAIL("the save neither finished nor wrote its bytes within 20 s");
    }

    // Whatever the moment, the target holds either all of the old or all of the new.
    const QFileInfo info(target);
    QVERIFY(info.exists());
    if (info.size() == old.size()) {
        QCOMPARE(ReadAll(target), old);
        QVERIFY2(killed, "the save finished yet the target kept its old contents");
    } else {
        QCOMPARE(info.size(), fullSize);
        QVERIFY(HoldsVolume(target, volume));
        if (!killed) {
            QVERIFY(WIFEXITED(status));
            QCOMPARE(WEXITSTATUS(status), 0);
        }
    }
    if (!killed) QWARN("the save finished before it could be killed");
}

void TestCliAbuse::refusedSave_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("needsPermissions");

    const QString locked = dir.filePath("locked folder");
    QVERIFY(QDir().mkpath(locked));
    WriteLines(locked + "/kept.raw", "kept");
    QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner));
    QTest::newRow("new file in a folder without write permission") << locked + "/new.raw"
                                                                   << "Permission denied" << true;
    QTest::newRow("existing file in a folder without write permission")
        << locked + "/kept.raw"
        << "Permission denied" << true;
    QTest::newRow("folder that does not exist")
        << dir.filePath("no folder/new.raw") << "the folder .* does not exist" << false;
    const QString folder = dir.filePath("a folder");
    QVERIFY(QDir().mkpath(folder));
    QTest::newRow("target is a folder") << folder << "it is a folder" << false;
    QTest::newRow("empty name") << QString() << "no file name given" << false;
}

void TestCliAbuse::refusedSave()
{
    QFETCH(QString, target);
    QFETCH(QString, reason);
    QFETCH(bool, needsPermissions);
    if (needsPermissions && ::geteuid() == 0)
        QSKIP("permissions do not stop the superuser from writing");

    const QFileInfo before(target);
    const QByteArray oldBytes = before.isFile() ? ReadAll(target) : QByteArray();
    const QString folder = target.isEmpty() ? dir.path() : before.absolutePath();
    const QStringList folderBefore = QDir(folder).entryList(QDir::AllEntries);

    ByteVolume volume;
    volume.Allocate(8, 4, 2);
    std::string message;
    QCOMPARE(volume.SaveRaw(Std(target), &message), 1);
    QVERIFY2(Matches(QByteArray::fromStdString(message), reason), message.c_str());
    if (before.isFile()) QCOMPARE(ReadAll(target), oldBytes);
    // No temporary file stays behind.
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries), folderBefore);
}

QTEST_MAIN(TestCliAbuse)
#include "tst_cliabuse.moc"
