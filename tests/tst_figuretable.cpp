// The table mode: its table and messages, names from standard input, usage errors,
// many ICS files read on many threads, the progress line, a process with no display,
// and the two recipes for many machines (GNU parallel, a Slurm job array).

#include "ByteVolume.h"
#include "FigureTable.h"
#include "IcsWriter.h"
#include "MessageText.h"
#include "Spectrum.h"
#include "TestVolumes.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <cstdio>

namespace {

/** A run of the table mode in this process: what it wrote and its status. */
struct TableRun
{
    int status = -1;
    QByteArray out, err;
    double seconds = 0;
};

QByteArray ReadAll(std::FILE* file)
{
    std::rewind(file);
    QByteArray data;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        data.append(buffer, qsizetype(n));
    std::fclose(file);
    return data;
}

TableRun RunTable(const QStringList& args, const QByteArray& input = {}, bool progress = false)
{
    std::FILE* in = std::tmpfile();
    std::fwrite(input.data(), 1, size_t(input.size()), in);
    std::rewind(in);
    FigureTableStreams io{in, std::tmpfile(), std::tmpfile(), progress};
    std::vector<std::string> words;
    for (const QString& arg : args)
        words.push_back(arg.toStdString());
    QElapsedTimer timer;
    timer.start();
    TableRun run;
    run.status = RunFigureTable(words, io);
    run.seconds = double(timer.nsecsElapsed()) / 1e9;
    std::fclose(in);
    run.out = ReadAll(io.out);
    run.err = ReadAll(io.err);
    return run;
}

/** The line the table gives a volume that loads: its figure computed here. */
QByteArray ExpectedLine(const QString& name, const ByteVolume& volume)
{
    const float figure = ComputeLagSpectrum(volume, SpectrumVolume, 0, 0).Figure;
    const QByteArray text = std::isnan(figure)
                                ? QByteArray("nan")
                                : QByteArray::fromStdString(FormatC("%.9g", double(figure)));
    return name.toUtf8() + '\t' + text + '\t' + QByteArray::number(volume.SizeX) + '\t' +
           QByteArray::number(volume.SizeY) + '\t' + QByteArray::number(volume.SizeZ);
}

QString Path(const QTemporaryDir& dir, const QString& name)
{
    return dir.filePath(name);
}

/** Writes `volume` as a raw volume file. */
void SaveRaw(const ByteVolume& volume, const QString& path)
{
    QCOMPARE(volume.SaveRaw(path.toStdString()), 0);
}

QByteArray Table(const QList<QByteArray>& lines)
{
    QByteArray table = FigureTableHeader;
    for (const QByteArray& line : lines)
        table += line + '\n';
    return table;
}

} // namespace

class TestFigureTable : public QObject
{
    Q_OBJECT
private slots:
    void tableAndMessages()
    {
        QTemporaryDir dir;
        QVERIFY(QDir::setCurrent(dir.path()));
        ByteVolume a, b, narrow;
        FillRandom(a, 40, 7, 3, 1);
        FillRandom(b, 200, 3, 2, 2);
        FillRandom(narrow, 9, 4, 4, 3);
        SaveRaw(a, "a.raw");
        SaveRaw(b, "b.raw");
        SaveRaw(narrow, "narrow.raw");
        QVERIFY(QFile::copy("a.raw", "tab\there.raw"));
        const TableRun run = RunTable(
            {"--jobs", "3", "b.raw", "missing.raw", "narrow.raw", "tab\there.raw", "a.raw"});
        QCOMPARE(run.status, 1);
        QCOMPARE(run.out, Table({ExpectedLine("b.raw", b), "missing.raw\tnan\t\t\t",
                                 "narrow.raw\tnan\t9\t4\t4", ExpectedLine("tab\\x09here.raw", a),
                                 ExpectedLine("a.raw", a)}));
        QCOMPARE(run.err,
                 QByteArray(
                     "volinspect: cannot load 'missing.raw': No such file or directory\n"
                     "volinspect: 'narrow.raw' is 9 voxels wide; the figure needs at least 10\n"));
        // All well: status 0, nothing on standard error; "--" lets a name begin with "-".
        QVERIFY(QFile::copy("a.raw", "-a.raw"));
        const TableRun good = RunTable({"--jobs=2", "--", "-a.raw", "b.raw"});
        QCOMPARE(good.status, 0);
        QCOMPARE(good.out, Table({ExpectedLine("-a.raw", a), ExpectedLine("b.raw", b)}));
        QVERIFY(good.err.isEmpty());
        // Names from standard input: CR LF line ends and empty lines.
        const TableRun listed = RunTable({"-"}, "b.raw\r\n\n\na.raw\r\n\r\nb.raw");
        QCOMPARE(listed.status, 0);
        QCOMPARE(listed.out, Table({ExpectedLine("b.raw", b), ExpectedLine("a.raw", a),
                                    ExpectedLine("b.raw", b)}));
    }

    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("says");
        QTest::newRow("no files") << QStringList{} << QByteArray("no files given");
        QTest::newRow("only options")
            << QStringList{"--jobs", "2", "--"} << QByteArray("no files given");
        QTest::newRow("jobs 0") << QStringList{"--jobs", "0", "a"}
                                << QByteArray("positive number, not '0'");
        QTest::newRow("jobs text") << QStringList{"--jobs=two", "a"} << QByteArray("not 'two'");
        QTest::newRow("jobs missing")
            << QStringList{"a", "--jobs"} << QByteArray("--jobs needs a number");
        QTest::newRow("mixed") << QStringList{"a", "-"} << QByteArray("not both");
        QTest::newRow("unknown") << QStringList{"--job", "2", "a"}
                                 << QByteArray("unknown option '--job'");
    }
    void usageErrors()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, says);
        const TableRun run = RunTable(args);
        QCOMPARE(run.status, 2);
        QVERIFY(run.out.isEmpty());
        QVERIFY2(run.err.startsWith("volinspect: --figures: ") && run.err.contains(says),
                 run.err.constData());
    }

    void manyIcsFilesOnManyThreads()
    {
        // libics switches the process's locale while it reads a header: reads on eight
        // threads must take turns there and still give every file its own figure.
        QTemporaryDir dir;
        QList<QByteArray> expected;
        QStringList names;
        for (int i = 0; i < 48; ++i) {
            ByteVolume volume;
            FillRandom(volume, 16 + i, 5, 3, quint32(100 + i));
            const QString name = Path(dir, QStringLiteral("v%1.ics").arg(i));
            IcsWriteOptions options;
            options.SingleFile = i % 2;
            options.Gzip = i % 3 == 0;
            std::string message;
            QVERIFY2(WriteIcsVolume(name.toStdString(), size_t(volume.SizeX), size_t(volume.SizeY),
                                    size_t(volume.SizeZ), volume.Data, options, &message),
                     message.c_str());
            names << name;
            expected << ExpectedLine(name, volume);
        }
        const char* before = std::setlocale(LC_ALL, nullptr);
        const QByteArray locale = before ? before : "";
        const TableRun run = RunTable(QStringList{"--jobs", "8"} + names);
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out, Table(expected));
        QCOMPARE(QByteArray(std::setlocale(LC_ALL, nullptr)), locale);
    }

    void progressOnlyWhenAsked()
    {
        QTemporaryDir dir;
        ByteVolume volume;
        FillRandom(volume, 300, 300, 40, 9); // about 3.6 MB a file
        SaveRaw(volume, Path(dir, "v.raw"));
        const QByteArray list = QByteArray(Path(dir, "v.raw").toUtf8() + '\n').repeated(60);
        const TableRun shown = RunTable({"--jobs", "2", "-"}, list, true);
        QCOMPARE(shown.status, 0);
        const qsizetype updates = shown.err.count(" files, ");
        QVERIFY(updates >= 1);
        QVERIFY2(updates <= 2 + qsizetype(shown.seconds * 10),
                 qPrintable(QString::number(updates)));
        QVERIFY(shown.err.contains(" of 60 files, "));
        QVERIFY(shown.err.endsWith("\r\033[K")); // the line is taken away at the end
        const TableRun quiet = RunTable({"-"}, list.left(list.size() / 6), false);
        QVERIFY(quiet.err.isEmpty());
    }

    void processNeedsNoDisplay()
    {
        // A display that does not exist and a platform that needs one: the table mode
        // never touches either.
        QTemporaryDir dir;
        ByteVolume volume;
        FillRandom(volume, 30, 4, 2, 4);
        SaveRaw(volume, Path(dir, "v.raw"));
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", ":987");
        env.insert("QT_QPA_PLATFORM", "xcb");
        process.setProcessEnvironment(env);
        process.start(VOLINSPECT_EXE, {"--figures", Path(dir, "v.raw")});
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(process.readAllStandardOutput(),
                 Table({ExpectedLine(Path(dir, "v.raw"), volume)}));
        QVERIFY(process.readAllStandardError().isEmpty());
    }

    void recipesForManyMachines()
    {
        // The README's recipes give the table one process gives: GNU parallel over
        // blocks of the list, and a Slurm job array split and merged by its script.
        QTemporaryDir dir;
        QByteArray list;
        for (int i = 0; i < 11; ++i) {
            ByteVolume volume;
            FillRandom(volume, 12 + 3 * i, 4, 2, quint32(i));
            const QString name = QStringLiteral("v%1.raw").arg(i);
            SaveRaw(volume, Path(dir, name));
            list += name.toUtf8() + (i == 4 ? "\r\n\n" : "\n");
        }
        list += "missing.raw\n";
        QFile file(Path(dir, "list.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(list) == list.size());
        file.close();
        const auto shell = [&](const QString& script, int& status) {
            QProcess process;
            process.setWorkingDirectory(dir.path());
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("VOLINSPECT", VOLINSPECT_EXE);
            env.insert("SCRIPTS", VOLINSPECT_SCRIPTS);
            process.setProcessEnvironment(env);
            process.start("bash", {"-c", script});
            process.waitForFinished(60000);
            status = process.exitCode();
            return process.readAllStandardOutput() + process.readAllStandardError();
        };
        int status = 0;
        const QByteArray single =
            shell("\"$VOLINSPECT\" --figures - < list.txt 2>/dev/null", status);
        QCOMPARE(status, 1); // the missing file
        QCOMPARE(single.count('\n'), 13);

        if (QStandardPaths::findExecutable("parallel").isEmpty()) {
            qWarning("GNU parallel is not installed: its recipe is not tried");
        } else {
            const QByteArray merged =
                shell("parallel --will-cite --pipe -k -N 3 \"$VOLINSPECT\" --figures - < list.txt "
                      "2>/dev/null"
                      " | awk 'NR == 1 || $0 != \"file\\tfigure\\tsize_x\\tsize_y\\tsize_z\"'",
                      status);
            QCOMPARE(merged, single);
        }

        // Tasks 5, 6, 7 of an array whose first task is 5: parts 0, 1 and 2.
        for (int task = 5; task < 8; ++task) {
            const QByteArray said =
                shell(QStringLiteral(
                          "SLURM_ARRAY_TASK_ID=%1 SLURM_ARRAY_TASK_MIN=5 SLURM_ARRAY_TASK_COUNT=3 "
                          "\"$SCRIPTS/slurm-figures\" list.txt 2>/dev/null")
                          .arg(task),
                      status);
            QVERIFY2(status == 0, said.constData());
        }
        QCOMPARE(shell("\"$SCRIPTS/slurm-figures\" --merge list.txt 3", status), single);
        QCOMPARE(status, 0);
        // A part cut short, then a part missing: the merge fails and names it.
        QVERIFY(QFile::resize(Path(dir, "figures-1.tsv"),
                              QFileInfo(Path(dir, "figures-1.tsv")).size() - 3));
        QVERIFY(shell("\"$SCRIPTS/slurm-figures\" --merge list.txt 3 >/dev/null", status)
                    .contains("part 1 is cut short"));
        QCOMPARE(status, 1);
        QVERIFY(QFile::remove(Path(dir, "figures-1.tsv")));
        QVERIFY(shell("\"$SCRIPTS/slurm-figures\" --merge list.txt 3 >/dev/null", status)
                    .contains("part 1 is missing"));
        QCOMPARE(status, 1);
    }
};

QTEST_GUILESS_MAIN(TestFigureTable)
#include "tst_figuretable.moc"
