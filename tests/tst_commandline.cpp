// The program run as a process with command-line options and no display: what it
// prints on standard output and standard error, and its exit status.

#include "ByteVolume.h"
#include "Form1.h"
#include "Framework.h"
#include "Spectrum.h"

#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <functional>

namespace {

struct Run
{
    QByteArray out, err;
    int status = -1;
};

/** Runs the program with `arguments` in a clean environment without any display. */
Run RunProgram(const QStringList& arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR"})
        environment.remove(QString::fromLatin1(name));
    QProcess process;
    process.setProcessEnvironment(environment);
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
    if (volume.SaveRaw(QFile::encodeName(path).toStdString()) != 0) qFatal("cannot write test file");
    return path;
}

QByteArray Alternating(int width)
{
    QByteArray line(width, '\0');
    for (int i = 1; i < width; i += 2) line[i] = char(255);
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
    void realVolume();
    void windowNeedsDisplay();
    void passInsideWindowCreation();

private:
    QTemporaryDir dir;
};

void TestCommandLine::options_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("out");

    const QString alternating = WriteLines(dir, "alternating.raw", Alternating(12));
    const QString narrow = WriteLines(dir, "narrow.raw", Alternating(9));
    QByteArray ramp(30, '\0');
    for (int i = 0; i < ramp.size(); ++i) ramp[i] = char(i * 8);
    const QString rising = WriteLines(dir, "ramp.raw", ramp, 3, 2);

    QTest::newRow("typical batch line")
        << QStringList{"-load", alternating, "-echohighpeak", "-echonewline", "-exit"}
        << QByteArray("204.000\n");
    QTest::newRow("two echoed lines")
        << QStringList{"-echo", "A", "-echonewline", "-echo", "B", "-echonewline", "-exit"}
        << QByteArray("A\nB\n");
    QTest::newRow("echo takes the next option as its text")
        << QStringList{"-echo", "-echonewline", "-exit"} << QByteArray("-echonewline\n");
    QTest::newRow("options in another case are ignored")
        << QStringList{"-echo", "x", "-EXIT", "-Echo", "y", "-exit"} << QByteArray("x");
    QTest::newRow("figure without a line end still arrives")
        << QStringList{"-load", rising, "-echohighpeak", "-exit"} << QByteArray("0.000");
    QTest::newRow("exit alone") << QStringList{"-exit"} << QByteArray();
    QTest::newRow("exit before anything loads")
        << QStringList{"-exit", "-load", alternating, "-echohighpeak"} << QByteArray();
    QTest::newRow("figure before any load")
        << QStringList{"-echohighpeak", "-exit"} << QByteArray("0.000");
    QTest::newRow("volume too narrow for a figure")
        << QStringList{"-load", narrow, "-echohighpeak", "-echonewline", "-exit"}
        << QByteArray("nan\n");
    QTest::newRow("empty and odd arguments")
        << QStringList{"", "-echo", "", "-echo", "a b", "-exit"} << QByteArray("a b");
    QTest::newRow("two files, two figures")
        << QStringList{"-load", rising, "-echohighpeak", "-echo", " ", "-load", alternating,
                       "-echohighpeak", "-exit"}
        << QByteArray("0.000 204.000");
}

void TestCommandLine::options()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, out);
    const Run run = RunProgram(arguments);
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out, out);
    QCOMPARE(run.err, QByteArray());
}

void TestCommandLine::failedLoadPrintsNanAndFails()
{
    const QString missing = dir.filePath("missing.raw");
    const QString good = WriteLines(dir, "good.raw", Alternating(12));
    const Run run = RunProgram({"-load", good, "-echohighpeak", "-echonewline", "-load", missing,
                                "-echohighpeak", "-echonewline", "-load", good, "-echohighpeak",
                                "-echonewline", "-exit"});
    QCOMPARE(run.out, QByteArray("204.000\nnan\n204.000\n"));
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

QTEST_MAIN(TestCommandLine)
#include "tst_commandline.moc"
