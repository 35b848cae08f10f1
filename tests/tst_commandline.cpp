// The program run as a process with command-line options and no display: what it
// prints on standard output and standard error, and its exit status.

#include "ByteVolume.h"
#include "Form1.h"
#include "Framework.h"
#include "IcsWriter.h"
#include "MessageText.h"
#include "Spectrum.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>

namespace {

struct Run
{
    QByteArray out, err;
    int status = -1;
};

/** A clean environment without any display, as on a build server. */
QProcessEnvironment NoDisplay()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR"})
        environment.remove(QString::fromLatin1(name));
    return environment;
}

/** Runs the program with `arguments` in `environment` (by default without any display). */
Run RunProgram(const QStringList& arguments, const QProcessEnvironment& environment = NoDisplay(),
               const QString& folder = {})
{
    QProcess process;
    process.setProcessEnvironment(environment);
    if (!folder.isEmpty()) process.setWorkingDirectory(folder);
    process.start(QStringLiteral(VOLINSPECT_EXE), arguments);
    Run run;
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return run;
}

/** Writes a raw volume of one line per row and slice, every line equal to `line`. */
QString WriteLines(const QTemporaryDir& dir, const QString& name, const QByteArray& line,
                   int rows = 1, int slices = 1)
{
    ByteVolume volume;
    volume.Allocate(int(line.size()), rows, slices);
    for (int z = 0; z < slices; ++z)
        for (int y = 0; y < rows; ++y)
            std::copy(line.begin(), line.end(), volume.VoxelPtr(0, y, z));
    const QString path = dir.filePath(name);
    if (volume.SaveRaw(QFile::encodeName(path).toStdString()) != 0)
        qFatal("cannot write test file");
    return path;
}

QByteArray Alternating(int width)
{
    QByteArray line(width, '\0');
    for (int i = 1; i < width; i += 2)
        line[i] = char(255);
    return line;
}

} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }

    void options_data();
    void options();
    void failedLoadPrintsNanAndFails();
    void shortDataSectionWarns();
    void dimWideSamplesWarn();
    void realVolume();
    void windowNeedsDisplay();
    void passInsideWindowCreation();

    void decimalPointInEveryLocale();
    void staleDisplayIsNeverOpened_data();
    void staleDisplayIsNeverOpened();
    void batchRunsWithoutTheFramework();
    void helpAndVersion_data();
    void helpAndVersion();
    void bareFileNames();
    void contentDecidesTheFileType_data();
    void contentDecidesTheFileType();
    void floatingPointSamples_data();
    void floatingPointSamples();
    void controlBytesAreQuoted();

private:
    QTemporaryDir dir;
};

void TestCommandLine::options_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<int>("status");

    const QString alternating = WriteLines(dir, "alternating.raw", Alternating(12));
    const QString narrow = WriteLines(dir, "narrow.raw", Alternating(9));
    QByteArray ramp(30, '\0');
    for (int i = 0; i < ramp.size(); ++i)
        ramp[i] = char(i * 8);
    const QString rising = WriteLines(dir, "ramp.raw", ramp, 3, 2);
    const QByteArray narrowName = QFile::encodeName(narrow);

    QTest::newRow("typical batch line")
        << QStringList{"-load", alternating, "-echohighpeak", "-echonewline", "-exit"}
        << QByteArray("204.000\n") << QByteArray() << 0;
    QTest::newRow("two echoed lines")
        << QStringList{"-echo", "A", "-echonewline", "-echo", "B", "-echonewline", "-exit"}
        << QByteArray("A\nB\n") << QByteArray() << 0;
    QTest::newRow("echo takes the next option as its text")
        << QStringList{"-echo", "-echonewline", "-exit"} << QByteArray("-echonewline\n")
        << QByteArray() << 0;
    QTest::newRow("options in another case are ignored, with a warning each")
        << QStringList{"-echo", "x", "-EXIT", "-Echo", "y", "-exit"} << QByteArray("x")
        << QByteArray("volinspect: ignoring unknown option '-EXIT' (see --help)\n"
                      "volinspect: ignoring unknown option '-Echo' (see --help)\n"
                      "volinspect: ignoring 'y': no such file or option\n")
        << 0;
    QTest::newRow("figure without a line end still arrives")
        << QStringList{"-load", rising, "-echohighpeak", "-exit"} << QByteArray("0.000")
        << QByteArray() << 0;
    QTest::newRow("exit alone") << QStringList{"-exit"} << QByteArray() << QByteArray() << 0;
    QTest::newRow("exit before anything loads")
        << QStringList{"-exit", "-load", alternating, "-echohighpeak"} << QByteArray()
        << "volinspect: ignoring '-load' after -exit\nvolinspect: ignoring '" +
               QFile::encodeName(alternating) +
               "' after -exit\nvolinspect: ignoring '-echohighpeak' after -exit\n"
        << 0;
    QTest::newRow("figure before any load")
        << QStringList{"-echohighpeak", "-exit"} << QByteArray("0.000")
        << QByteArray("volinspect: -echohighpeak before any -load: the figure is that of the "
                      "empty starting volume (100 x 100 x 30)\n")
        << 0;
    QTest::newRow("volume too narrow for a figure")
        << QStringList{"-load", narrow, "-echohighpeak", "-echonewline", "-exit"}
        << QByteArray("nan\n")
        << "volinspect: '" + narrowName + "' is 9 voxels wide; the figure needs at least 10\n"
        << 1;
    QTest::newRow("a good figure after a narrow one still fails the run")
        << QStringList{"-load",     narrow,          "-echohighpeak", "-load",
                       alternating, "-echohighpeak", "-exit"}
        << QByteArray("nan204.000")
        << "volinspect: '" + narrowName + "' is 9 voxels wide; the figure needs at least 10\n"
        << 1;
    QTest::newRow("volume without lines has no figure")
        << QStringList{"-load", WriteLines(dir, "flat.raw", Alternating(12), 0, 3), "-echohighpeak",
                       "-exit"}
        << QByteArray("nan")
        << "volinspect: '" + QFile::encodeName(dir.filePath("flat.raw")) +
               "' holds no voxels (12 x 0 x 3); it has no figure\n"
        << 1;
    QTest::newRow("empty and odd arguments")
        << QStringList{"", "-echo", "", "-echo", "a b", "-exit"} << QByteArray("a b")
        << QByteArray("volinspect: ignoring an empty argument\n") << 0;
    QTest::newRow("option without its argument")
        << QStringList{"-echo", "x", "-exit", "-load"} << QByteArray("x")
        << QByteArray("volinspect: ignoring '-load' after -exit\n") << 0;
    QTest::newRow("two files, two figures")
        << QStringList{"-load", rising,      "-echohighpeak", "-echo", " ",
                       "-load", alternating, "-echohighpeak", "-exit"}
        << QByteArray("0.000 204.000") << QByteArray() << 0;
}

void TestCommandLine::options()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(int, status);
    const Run run = RunProgram(arguments);
    QCOMPARE(run.err, err);
    QCOMPARE(run.out, out);
    QCOMPARE(run.status, status);
}

void TestCommandLine::failedLoadPrintsNanAndFails()
{
    const QString missing = dir.filePath("missing.raw");
    const QString good = WriteLines(dir, "good.raw", Alternating(12));
    const Run run = RunProgram({"-load", good, "-echohighpeak", "-echonewline", "-load", missing,
                                "-echohighpeak", "-echonewline", "-load", good, "-echohighpeak",
                                "-echonewline", "-exit"});
    QCOMPARE(run.out, QByteArray("204.000\nnan\n204.000\n"));
    // The failed load explains its nan: no second line about it.
    QCOMPARE(run.err, "volinspect: cannot load '" + QFile::encodeName(missing) +
                          "': No such file or directory\n");
    QCOMPARE(run.status, 1); // a load failed on the way
}

void TestCommandLine::shortDataSectionWarns()
{
    const QString full = WriteLines(dir, "full.raw", Alternating(12), 2, 2);
    QFile file(full);
    QVERIFY(file.resize(12 + 12 * 2 + 5)); // the second slice is mostly missing
    const Run run = RunProgram({"-load", full, "-echohighpeak", "-exit"});
    QCOMPARE(run.status, 0);
    QVERIFY(run.err.startsWith("volinspect: warning: '" + QFile::encodeName(full) + "': "));
    QVERIFY(run.err.contains("holds 29 of 48 voxel bytes"));
    QVERIFY(!run.out.isEmpty());
}

void TestCommandLine::dimWideSamplesWarn()
{
    // 16-bit samples that vary but all reduce to one 8-bit voxel load with a warning.
    std::vector<quint16> samples(12 * 3 * 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = quint16(3 + i * 37 % 190);
    const QString path = dir.filePath("dim.ics");
    IcsWriteOptions options;
    options.BytesPerSample = 2;
    QVERIFY(WriteIcsVolume(QFile::encodeName(path).toStdString(), 12, 3, 2, samples.data(), options,
                           nullptr));
    const Run batch = RunProgram({"-load", path, "-echohighpeak", "-exit"});
    QVERIFY2(batch.out == "0.000" && batch.status == 0 &&
                 batch.err.startsWith("volinspect: warning: '" + QFile::encodeName(path) +
                                      "': its 16-bit samples"),
             batch.err);
    const Run table = RunProgram({"--figures", path});
    QVERIFY2(table.out.contains("\t0\t0\twarning: its 16-bit samples") && table.status == 0,
             table.out);
}

void TestCommandLine::realVolume()
{
    const QString path = QStringLiteral(VOLINSPECT_TESTDATA "/chromo3d.ics");
    if (!QFile::exists(path)) QSKIP("the real test files are absent");
    ByteVolume volume;
    QCOMPARE(volume.Load(QFile::encodeName(path).toStdString()), 0);
    const float figure = ComputeLagSpectrum(volume, SpectrumVolume, 0, 0).Figure;
    char expected[64];
    std::snprintf(expected, sizeof expected, "%2.3f\n", double(figure));

    const Run run = RunProgram({"-load", path, "-echohighpeak", "-echonewline", "-exit"});
    QCOMPARE(run.status, 0);
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.out, QByteArray(expected));
}

void TestCommandLine::windowNeedsDisplay()
{
    const Run run = RunProgram({"-echo", "a"});
    QCOMPARE(run.status, 2);
    QVERIFY(run.err.contains("no display available"));
    QCOMPARE(run.out, QByteArray());
}

void TestCommandLine::passInsideWindowCreation()
{
    // The pass runs while the window is made; an unfinished "-load" ends it quietly
    // and leaves the window to open on the first volume.
    const TForm1 unfinished({"-load"});
    QVERIFY(!unfinished.ExitRequested());
    QCOMPARE(unfinished.MainVolume.SizeX, 100);
    QCOMPARE(unfinished.MainVolume.SizeZ, 30);

    const QString path = WriteLines(dir, "window.raw", Alternating(12), 4, 3);
    const TForm1 loaded({"-load", QFile::encodeName(path).toStdString()});
    QVERIFY(!loaded.ExitRequested());
    QCOMPARE(loaded.MainVolume.SizeY, 4);
    QCOMPARE(loaded.TopView->size(), QSize(12, 4));
    QCOMPARE(loaded.Edit1->text(), QStringLiteral("Hi freq peak: 204.000"));

    const TForm1 exiting({"-exit", "-load", QFile::encodeName(path).toStdString()});
    QVERIFY(exiting.ExitRequested());
    QCOMPARE(exiting.ExitCode(), 0);
    QCOMPARE(exiting.MainVolume.SizeX, 100);
}

void TestCommandLine::decimalPointInEveryLocale()
{
    // A locale with a decimal comma, made in a folder of the test's own.
    const QString locales = dir.filePath("locales");
    QVERIFY(QDir().mkpath(locales));
    QProcess localedef;
    localedef.start(QStringLiteral("localedef"),
                    {"-i", "de_DE", "-f", "UTF-8", locales + "/de_DE.UTF-8"});
    if (!localedef.waitForFinished(60000) || localedef.exitStatus() != QProcess::NormalExit ||
        !QFile::exists(locales + "/de_DE.UTF-8"))
        QSKIP("localedef cannot make de_DE.UTF-8 here (the locales package is missing)");
    QProcessEnvironment environment = NoDisplay();
    environment.insert("LOCPATH", locales);
    environment.insert("LANG", "de_DE.UTF-8");
    environment.insert("LC_ALL", "de_DE.UTF-8");
    // The locale is real: its decimal point is a comma.
    QProcess locale;
    locale.setProcessEnvironment(environment);
    locale.start(QStringLiteral("locale"), {"decimal_point"});
    QVERIFY(locale.waitForFinished(10000));
    QCOMPARE(locale.readAllStandardOutput().trimmed(), QByteArray(","));

    const QString alternating = WriteLines(dir, "comma.raw", Alternating(12));
    QByteArray ramp(30, '\0');
    for (int i = 0; i < ramp.size(); ++i)
        ramp[i] = char(i * i % 256);
    const QString curved = WriteLines(dir, "curved.raw", ramp, 2, 2);
    ByteVolume volume;
    QCOMPARE(volume.Load(QFile::encodeName(curved).toStdString()), 0);
    char expected[64];
    std::snprintf(expected, sizeof expected, "204.000,%.3f\n",
                  double(ComputeLagSpectrum(volume, SpectrumVolume, 0, 0).Figure));
    const Run run = RunProgram({"-load", alternating, "-echohighpeak", "-echo", ",", "-load",
                                curved, "-echohighpeak", "-echonewline", "-exit"},
                               environment);
    QCOMPARE(run.out, QByteArray(expected));
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.status, 0);
}

void TestCommandLine::staleDisplayIsNeverOpened_data()
{
    QTest::addColumn<QStringList>("variables"); // NAME=VALUE
    QTest::addColumn<QStringList>("qtArguments");
    // No server answers on this display, and no compositor on this socket.
    const QString nowhere = QStringLiteral(":987");
    QTest::newRow("DISPLAY") << QStringList{"DISPLAY=" + nowhere} << QStringList();
    QTest::newRow("WAYLAND_DISPLAY")
        << QStringList{"WAYLAND_DISPLAY=wayland-nowhere", "XDG_RUNTIME_DIR=" + dir.path()}
        << QStringList();
    QTest::newRow("QT_QPA_PLATFORM xcb")
        << QStringList{"QT_QPA_PLATFORM=xcb", "DISPLAY=" + nowhere} << QStringList();
    QTest::newRow("QT_QPA_PLATFORM wayland")
        << QStringList{"QT_QPA_PLATFORM=wayland", "WAYLAND_DISPLAY=wayland-nowhere"}
        << QStringList();
    QTest::newRow("-platform xcb") << QStringList() << QStringList{"-platform", "xcb"};
    QTest::newRow("-display") << QStringList() << QStringList{"-display", nowhere};
    QTest::newRow("--platform wayland with DISPLAY")
        << QStringList{"DISPLAY=" + nowhere} << QStringList{"--platform", "wayland"};
}

void TestCommandLine::staleDisplayIsNeverOpened()
{
    QFETCH(QStringList, variables);
    QFETCH(QStringList, qtArguments);
    const QString good = WriteLines(dir, "display.raw", Alternating(12));
    const QString missing = dir.filePath("gone.raw");
    const QStringList arguments{"-load", good,    "-echohighpeak", "-echonewline",
                                "-load", missing, "-echohighpeak", "-exit"};
    const Run expected = RunProgram(arguments);
    QCOMPARE(expected.out, QByteArray("204.000\nnan"));
    QCOMPARE(expected.status, 1);

    QProcessEnvironment environment = NoDisplay();
    for (const QString& variable : variables)
        environment.insert(variable.section('=', 0, 0), variable.section('=', 1));
    // Qt's options, in front and in the middle: they concern a window only.
    const QStringList withQt = qtArguments + arguments.mid(0, 4) + qtArguments + arguments.mid(4);
    const Run run = RunProgram(withQt, environment);
    QCOMPARE(run.status, expected.status);
    QCOMPARE(run.out, expected.out);
    QCOMPARE(run.err, expected.err);
}

void TestCommandLine::batchRunsWithoutTheFramework()
{
    // Anything that started the window framework would end the run here: its warnings
    // (the missing runtime folder) are fatal, and the platform named does not exist.
    QProcessEnvironment environment = NoDisplay();
    environment.insert("QT_FATAL_WARNINGS", "1");
    environment.insert("QT_QPA_PLATFORM", "nonexistent-platform");
    const QString good = WriteLines(dir, "frameworkless.raw", Alternating(12));
    const Run run = RunProgram({"-load", good, "-echohighpeak", "-exit"}, environment);
    QCOMPARE(run.out, QByteArray("204.000"));
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.status, 0);

#ifndef __SANITIZE_ADDRESS__ // which reserves more address space than the limit allows
    // A line of 10^8 voxels loads in 600 MB of address space, but its figure needs 900 MB
    // more: the run says so and fails, where no one would ever answer a message box.
    QFile wide(dir.filePath("wide.raw"));
    const QByteArray sizes("\x00\xe1\xf5\x05\x01\0\0\0\x01\0\0\0", 12); // 10^8, 1, 1
    QVERIFY(wide.open(QIODevice::WriteOnly) && wide.write(sizes) == 12 &&
            wide.resize(12 + 100000000));
    wide.close();
    QProcess limited;
    limited.setProcessEnvironment(environment);
    limited.start("bash", {"-c", "ulimit -v 600000 && exec \"$@\"", "bash", VOLINSPECT_EXE, "-echo",
                           "x", "-load", wide.fileName(), "-echohighpeak", "-exit"});
    QVERIFY(limited.waitForFinished(20000));
    QCOMPARE(limited.readAllStandardOutput(), QByteArray("x"));
    QCOMPARE(limited.readAllStandardError(), QByteArray("volinspect: Out of memory.\n"));
    QCOMPARE(limited.exitCode(), 1);
#endif
}

void TestCommandLine::helpAndVersion_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected"); // "help", "version", or the text printed
    const QString missing = dir.filePath("not there.raw");
    QTest::newRow("--help") << QStringList{"--help"} << "help";
    QTest::newRow("-h") << QStringList{"-h"} << "help";
    QTest::newRow("--version") << QStringList{"--version"} << "version";
    // Before anything else: the load is never tried, so it reports nothing.
    QTest::newRow("help after a load") << QStringList{"-load", missing, "--help"} << "help";
    QTest::newRow("help after -exit") << QStringList{"-exit", "-h"} << "help";
    QTest::newRow("version among options")
        << QStringList{"-echo", "x", "--version", "-echonewline"} << "version";
    QTest::newRow("--figures --help") << QStringList{"--figures", "--help"} << "help";
    QTest::newRow("--figures -h") << QStringList{"--figures", "--jobs", "2", "-h"} << "help";
    QTest::newRow("--figures --version") << QStringList{"--figures", "--version"} << "version";
    // Taken as an argument, it is text like any other.
    QTest::newRow("--help as the text of -echo")
        << QStringList{"-echo", "--help", "-exit"} << "--help";
}

void TestCommandLine::helpAndVersion()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    const Run run = RunProgram(arguments); // without a display: no window may be tried
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.status, 0);
    if (expected == "version") {
        QVERIFY2(QRegularExpression("^volinspect [0-9]+\\.[0-9]+[^\\n]*\\n$")
                     .match(QString::fromUtf8(run.out))
                     .hasMatch(),
                 run.out.constData());
    } else if (expected == "help") {
        QVERIFY(run.out.startsWith("Usage: volinspect"));
        for (const char* part : {"-load FILE", "-echohighpeak", "-echo TEXT", "-echonewline",
                                 "-exit", "--version", "Exit status", "  0  ", "  1  ", "  2  ",
                                 "raw volume", "ICS", "\"${args[@]}\" -exit"})
            QVERIFY2(run.out.contains(part), part);
    } else {
        QCOMPARE(run.out, expected.toUtf8());
    }
}

void TestCommandLine::bareFileNames()
{
    // A bare word naming a file in the working folder loads it where it stands.
    WriteLines(dir, "bare.raw", Alternating(12));
    QVERIFY(QDir(dir.path()).mkpath("a folder"));
    const Run run = RunProgram(
        {"-echohighpeak", "bare.raw", "-echohighpeak", "a folder", "missing.raw", "-exit"},
        NoDisplay(), dir.path());
    QCOMPARE(run.out, QByteArray("0.000204.000"));
    QCOMPARE(run.err, QByteArray("volinspect: -echohighpeak before any -load: the figure is "
                                 "that of the empty starting volume (100 x 100 x 30)\n"
                                 "volinspect: ignoring 'a folder': it is a folder, not a volume "
                                 "file\n"
                                 "volinspect: ignoring 'missing.raw': no such file or option\n"));
    QCOMPARE(run.status, 0);
}

void TestCommandLine::contentDecidesTheFileType_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QString>("err"); // a pattern for the whole of standard error
    QTest::addColumn<int>("status");

    const auto icsPair = [&](const QString& header, const QString& data) {
        const QString made = dir.filePath("made.ics");
        std::string message;
        const QByteArray line = Alternating(12);
        if (!WriteIcsVolume(QFile::encodeName(made).toStdString(), 12, 1, 1, line.constData(),
                            IcsWriteOptions{}, &message))
            qFatal("cannot write ICS test file: %s", message.c_str());
        QFile::remove(header);
        QFile::remove(data);
        if (!QFile::rename(made, header) || !QFile::rename(dir.filePath("made.ids"), data))
            qFatal("cannot rename the ICS test files");
        return header;
    };
    const auto write = [&](const QString& name, const QByteArray& bytes) {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write test file");
        return file.fileName();
    };
    const auto refused = [](const QString& path, const QString& reason) {
        return "volinspect: cannot load '" +
               QRegularExpression::escape(QString::fromUtf8(QFile::encodeName(path))) +
               "': " + reason + "\n";
    };

    QTest::newRow("ICS header under a raw name")
        << icsPair(dir.filePath("header.raw"), dir.filePath("header.raw.ids"))
        << QByteArray("204.000") << QString() << 0;
    QTest::newRow("upper-case .ICS with its .IDS")
        << icsPair(dir.filePath("UPPER.ICS"), dir.filePath("UPPER.IDS")) << QByteArray("204.000")
        << QString() << 0;
    icsPair(dir.filePath("pair.ics"), dir.filePath("pair.ids"));
    QTest::newRow("the .ids of a pair")
        << dir.filePath("pair.ids") << QByteArray("204.000") << QString() << 0;

    const QString picture = QStringLiteral("a picture file, not a volume");
    QByteArray tiff("II*\0\x08\0\0\0", 8);
    tiff += QByteArray(64, '\x01');
    // A TIFF is a stack, read by libtiff whatever its name; these hold no directory.
    const QString brokenTiff = QStringLiteral("not a readable TIFF file: .*");
    QTest::newRow("TIFF") << write("scan.tif", tiff) << QByteArray("nan")
                          << refused(dir.filePath("scan.tif"), brokenTiff) << 1;
    QTest::newRow("big-endian TIFF named .raw")
        << write("scan.raw", QByteArray("MM\0*", 4) + QByteArray(40, '\x02')) << QByteArray("nan")
        << refused(dir.filePath("scan.raw"), brokenTiff) << 1;
    QTest::newRow("PNG") << write("shot.png",
                                  QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(30, 'p'))
                         << QByteArray("nan") << refused(dir.filePath("shot.png"), picture) << 1;
    QTest::newRow("JPEG") << write("photo", QByteArray("\xff\xd8\xff\xe0", 4) + QByteArray(30, 'j'))
                          << QByteArray("nan") << refused(dir.filePath("photo"), picture) << 1;
    QByteArray bmp("BM\x30\0\0\0", 6);
    bmp += QByteArray(0x30 - 6, '\0');
    QTest::newRow("BMP") << write("image.bmp", bmp) << QByteArray("nan")
                         << refused(dir.filePath("image.bmp"), picture) << 1;
    // "BM" with a size field that is not the file's is no BMP: the raw rules apply.
    QByteArray notBmp("BM\x31\0\0\0", 6);
    notBmp += QByteArray(0x30 - 6, '\0');
    notBmp[6] = 1; // read as raw: 3231042 x 65536 x 1 voxels
    notBmp[8] = 1;
    QTest::newRow("BM without a matching size")
        << write("bm.raw", notBmp) << QByteArray("nan")
        << refused(dir.filePath("bm.raw"), "the raw volume header asks for .* voxels, more than "
                                           "this machine can hold")
        << 1;
    QTest::newRow("text keeps the raw rules")
        << write("notes.txt", "volume of the cell, measured twice\n") << QByteArray("nan")
        << refused(dir.filePath("notes.txt"), "the raw volume header asks for 1970040694 x .* "
                                              "voxels, more than this machine can hold")
        << 1;
    ByteVolume line;
    line.Allocate(12, 1, 1);
    std::copy_n(Alternating(12).constData(), 12, line.Data);
    const QString rawIcs = dir.filePath("raw content.ics");
    line.SaveRaw(QFile::encodeName(rawIcs).toStdString());
    QTest::newRow(".ics name holding raw data")
        << rawIcs << QByteArray("nan") << refused(rawIcs, ".*ICS header.*") << 1;
    const QString longer = WriteLines(dir, "longer.raw", Alternating(12));
    {
        QFile file(longer);
        if (!file.open(QIODevice::Append) || file.write("extra") != 5) qFatal("cannot append");
    }
    QTest::newRow("raw file longer than its header says")
        << longer << QByteArray("204.000")
        << "volinspect: warning: '" + QRegularExpression::escape(longer) +
               "': the file holds 5 more bytes than the header's 12 x 1 x 1 voxels; they were "
               "ignored\n"
        << 0;
    // Read as libics reads it, the LF-only line of this CR LF header is a sensor
    // line without values, on which libics crashes.
    QByteArray crlf("\t\r\nics_version\t1.0\r\nfilename\tv\r\nlayout\tparameters\t4\r\n"
                    "layout\torder\tbits\tx\ty\tz\r\nlayout\tsizes\t8\t12\t1\t1\r\n"
                    "representation\tformat\tinteger\r\nsensor\ts_params\nend\r\n");
    write("crlf.ids", Alternating(12));
    QTest::newRow("CR LF header with a sensor line libics crashes on")
        << write("crlf.ics", crlf) << QByteArray("nan")
        << refused(dir.filePath("crlf.ics"), "the ICS header has a sensor line without values")
        << 1;
}

void TestCommandLine::contentDecidesTheFileType()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, out);
    QFETCH(QString, err);
    QFETCH(int, status);
    const Run run = RunProgram({"-load", file, "-echohighpeak", "-exit"});
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(err),
                                QRegularExpression::DotMatchesEverythingOption)
                 .match(QString::fromUtf8(run.err))
                 .hasMatch(),
             run.err.constData());
    QCOMPARE(run.out, out);
    QCOMPARE(run.status, status);
}

void TestCommandLine::floatingPointSamples_data()
{
    QTest::addColumn<int>("bytes");
    QTest::addColumn<QVector<double>>("samples"); // 12 × 2 × 1
    QTest::addColumn<QByteArray>("voxels");       // expected; empty when refused
    QTest::addColumn<QString>("message");

    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    QVector<double> ramp, special, constant, noFinite;
    QByteArray rampVoxels, specialVoxels;
    for (int i = 0; i < 24; ++i) {
        // -1.5 … 4.25 in steps of 0.25: t = i / 23, truncated after · 255.
        ramp << -1.5 + 0.25 * i;
        rampVoxels += char(uint8_t(double(i) / 23.0 * 255.0));
        special << (i % 5 == 0 ? nan : i % 7 == 0 ? inf : i % 11 == 0 ? -inf : double(i));
        constant << 3.75;
        noFinite << (i % 2 ? nan : inf);
    }
    // The finite range of `special` is 1 … 23 (0, 5, 10, … are NaN; 7, 14, 21 are ∞).
    for (int i = 0; i < 24; ++i) {
        const double s = special[i];
        specialVoxels += char(std::isnan(s) || s < 0 ? 0
                              : std::isinf(s)        ? 255
                                                     : uint8_t((s - 1) / 22 * 255));
    }
    QTest::newRow("float ramp") << 4 << ramp << rampVoxels << "mapped linearly";
    QTest::newRow("double ramp") << 8 << ramp << rampVoxels << "from -1.5 to 4.25 were mapped";
    QTest::newRow("NaN and infinities")
        << 8 << special << specialVoxels << "not finite numbers became 0 (NaN, -inf) or 255";
    QTest::newRow("constant") << 4 << constant << QByteArray(24, '\0') << "all voxels are 0";
    QTest::newRow("no finite sample") << 4 << noFinite << QByteArray() << "no finite sample";
    QTest::newRow("complex") << 16 << ramp.mid(0, 24) << QByteArray() << "complex samples";
}

void TestCommandLine::floatingPointSamples()
{
    QFETCH(int, bytes);
    QFETCH(QVector<double>, samples);
    QFETCH(QByteArray, voxels);
    QFETCH(QString, message);

    QByteArray data;
    IcsWriteOptions options;
    options.BytesPerSample = bytes;
    options.SampleFormat = bytes == 16 ? IcsWriteOptions::Complex : IcsWriteOptions::Real;
    for (double s : samples) {
        if (bytes == 4) {
            const float f = float(s);
            data.append(reinterpret_cast<const char*>(&f), 4);
        } else {
            data.append(reinterpret_cast<const char*>(&s), 8);
            if (bytes == 16) data.append(reinterpret_cast<const char*>(&s), 8);
        }
    }
    const QString path = dir.filePath(QStringLiteral("real%1.ics").arg(QTest::currentDataTag()));
    std::string text;
    QVERIFY2(WriteIcsVolume(QFile::encodeName(path).toStdString(), 12, 2, 1, data.constData(),
                            options, &text),
             text.c_str());

    ByteVolume volume;
    volume.Allocate(1, 1, 1);
    const int32_t code = volume.Load(QFile::encodeName(path).toStdString(), &text);
    QVERIFY2(QString::fromStdString(text).contains(message), text.c_str());
    const Run run = RunProgram({"-load", path, "-echohighpeak", "-exit"});
    QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
    if (voxels.isEmpty()) {
        QCOMPARE(code, int32_t(ByteVolume::LoadFailed));
        QCOMPARE(volume.SizeX, 1);
        QCOMPARE(run.status, 1);
        return;
    }
    QCOMPARE(code, int32_t(ByteVolume::LoadOk));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(volume.Data), int(volume.VoxelCount())),
             voxels);
    QVERIFY(run.err.startsWith("volinspect: warning: "));
    QCOMPARE(
        run.out,
        QByteArray(FormatFigure(ComputeLagSpectrum(volume, SpectrumVolume, 0, 0).Figure).c_str()));
    QCOMPARE(run.status, 0);
}

void TestCommandLine::controlBytesAreQuoted()
{
    // Escape sequences in names and header values reach the terminal only as text.
    const QString named = dir.filePath(QString::fromLatin1("esc\x1b[31mred\x07.raw"));
    QFile header(dir.filePath("hostile.ics"));
    QVERIFY(header.open(QIODevice::WriteOnly));
    header.write("\t\nics_version\t1.0\nfilename\tv\nlayout\tsizes\t8\t\x1b[2J\t3\t2\n");
    header.close();
    // A name that is not UTF-8 cannot pass through a QString: the shell makes it.
    QProcess shell;
    shell.setProcessEnvironment(NoDisplay());
    shell.start(QStringLiteral("/bin/sh"),
                {"-c",
                 "exec \"$0\" -load \"$1\" -load \"$(printf '%s/bad\\377\\376 name.raw' \"$2\")\" "
                 "-load \"$3\" \"$4\" -exit",
                 QStringLiteral(VOLINSPECT_EXE), named, dir.path(), header.fileName(),
                 QString::fromLatin1("-\x1b]0;title\x07")});
    QVERIFY(shell.waitForFinished(20000));
    Run run;
    run.err = shell.readAllStandardError();
    run.status = shell.exitCode();
    QCOMPARE(run.status, 1);
    QVERIFY2(!run.err.contains('\x1b') && !run.err.contains('\x07') && !run.err.contains("\xff"),
             run.err.constData());
    QVERIFY2(run.err.contains("esc\\x1b[31mred\\x07.raw': No such file"), run.err.constData());
    QVERIFY2(run.err.contains("bad\\xff\\xfe name.raw': No such file"), run.err.constData());
    QVERIFY2(run.err.contains("invalid size '\\x1b[2J'"), run.err.constData());
    QVERIFY2(run.err.contains("unknown option '-\\x1b]0;title\\x07'"), run.err.constData());
    // Valid UTF-8 stays as it is.
    QCOMPARE(QuoteBytes("gr\xc3\xbc\xc3\x9f \xe2\x80\x94 ok"),
             std::string("gr\xc3\xbc\xc3\x9f \xe2\x80\x94 ok"));
    QCOMPARE(QuoteBytes("c1\xc2\x85 overlong\xc0\xaf"),
             std::string("c1\\xc2\\x85 overlong\\xc0\\xaf"));
}

QTEST_MAIN(TestCommandLine)
#include "tst_commandline.moc"
