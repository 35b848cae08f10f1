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

/** What a shell script run by `RecipeFolder::Run` wrote and its status. */
struct ShellRun
{
    int status = -1;
    QByteArray out, err;
};

/** The names of the recipes' list, in order; v*.raw are volumes, the others not. */
const QList<QByteArray> RecipeNames{"v0.raw",      "v1.raw", "narrow.raw", "v2.raw", "v3.raw",
                                    "caf\xe9.raw", "v4.raw", "v5.raw",     "v6.raw", "v7.raw",
                                    "missing.raw", "v8.raw", "v9.raw"};

/** A temporary folder where the recipes run: bash in a UTF-8 locale, with VOLINSPECT
 *  and SCRIPTS set and the built volinspect first on the PATH. */
class RecipeFolder
{
public:
    QString Path(const QString& name) const { return dir.filePath(name); }

    void Write(const QString& name, const QByteArray& data) const
    {
        QFile file(Path(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(data) == data.size());
    }
    void Write(const QByteArray& name, const ByteVolume& volume) const
    {
        SaveRaw(volume, Path(QString::fromLatin1(name)));
    }

    QByteArray Read(const QString& name) const
    {
        QFile file(Path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    ShellRun Run(const QByteArray& script) const
    {
        QProcess process;
        process.setWorkingDirectory(dir.path());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VOLINSPECT", VOLINSPECT_EXE);
        env.insert("SCRIPTS", VOLINSPECT_SCRIPTS);
        env.insert("PATH", QFileInfo(VOLINSPECT_EXE).absolutePath() + ':' + env.value("PATH"));
        // A name that is not UTF-8 must survive a UTF-8 locale.
        env.insert("LC_ALL", "C.UTF-8");
        process.setProcessEnvironment(env);
        process.start("bash", {"-c", QString::fromLatin1(script)});
        ShellRun run;
        if (!process.waitForFinished(60000)) return run;
        run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.out = process.readAllStandardOutput();
        run.err = process.readAllStandardError();
        return run;
    }

private:
    QTemporaryDir dir;
};

/** The environment of task `id` of an array of `count` tasks from `min`. */
QByteArray Task(int id, int min, int count)
{
    return QStringLiteral(
               "SLURM_ARRAY_TASK_ID=%1 SLURM_ARRAY_TASK_MIN=%2 SLURM_ARRAY_TASK_COUNT=%3 ")
        .arg(id)
        .arg(min)
        .arg(count)
        .toLatin1();
}

/** The first `sh` block of the README after the heading `heading`. */
QByteArray ReadmeBlock(const QByteArray& heading)
{
    QFile file(QStringLiteral(VOLINSPECT_SCRIPTS "/../README.md"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QByteArray text = file.readAll();
    const qsizetype at = text.indexOf("\n" + heading + "\n");
    const qsizetype begin = at < 0 ? -1 : text.indexOf("\n```sh\n", at);
    const qsizetype end = begin < 0 ? -1 : text.indexOf("\n```\n", begin + 7);
    return end < 0 ? QByteArray() : text.mid(begin + 7, end + 1 - (begin + 7));
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
        // blocks of the list, and a Slurm job array split and merged by its script
        // (the array's variables set by hand), in a UTF-8 locale, with a Latin-1 name.
        RecipeFolder dir;
        QByteArray list;
        int count = 0;
        for (const QByteArray& name : RecipeNames) {
            if (name.startsWith("v")) {
                ByteVolume volume;
                FillRandom(volume, 12 + 3 * count, 4, 2, quint32(count));
                dir.Write(name, volume);
                ++count;
            }
            list += name + (name == "v3.raw" ? "\r\n\n" : "\n");
        }
        ByteVolume narrow;
        FillRandom(narrow, 9, 4, 4, 3);
        dir.Write("narrow.raw", narrow);
        QCOMPARE(dir.Run("cp v0.raw $'caf\\xe9.raw'").status, 0); // Qt would write UTF-8
        dir.Write("list.txt", list);

        const ShellRun single = dir.Run("\"$VOLINSPECT\" --figures - < list.txt");
        QCOMPARE(single.status, 1); // the missing file, the narrow one
        const QList<QByteArray> rows = single.out.split('\n');
        QCOMPARE(rows.size(), 15); // the header, 13 names and the empty end
        // The Latin-1 name (its escaping aside) was read: the figure of its copy.
        QVERIFY2(rows[6].startsWith("caf") && !rows[6].contains("\tnan\t"), rows[6].constData());
        QCOMPARE(rows[6].mid(rows[6].indexOf('\t')), rows[1].mid(rows[1].indexOf('\t')));

        if (QStandardPaths::findExecutable("parallel").isEmpty())
            QFAIL("GNU parallel is not installed (scripts/setup installs it)");
        // The README's block, with blocks of 3 lines instead of 1000: blocks 1
        // (narrow.raw) and 4 (missing.raw) end with status 1, so parallel ends with 2,
        // the number of blocks that failed, which the pipeline must keep.
        QByteArray recipe = ReadmeBlock("### Many cores or machines with GNU parallel");
        QVERIFY2(recipe.contains(" -N 1000 "), recipe.constData());
        recipe.replace(" -N 1000 ", " -N 3 ");
        const ShellRun parallel = dir.Run(recipe);
        QCOMPARE(parallel.status, 2);
        QCOMPARE(dir.Read("figures.tsv"), single.out);

        // Tasks 5, 6, 7 of an array whose first task is 5: parts 0, 1 and 2 of 4, 4
        // and 5 names; part 1 holds the Latin-1 name.
        for (int task = 5; task < 8; ++task) {
            const ShellRun run = dir.Run(Task(task, 5, 3) + "\"$SCRIPTS/slurm-figures\" list.txt");
            QVERIFY2(run.status == 0, run.err.constData());
        }
        QCOMPARE(dir.Read("figures-1.tsv").count('\n'), 5);
        const QByteArray merge = "\"$SCRIPTS/slurm-figures\" --merge list.txt 3";
        const ShellRun merged = dir.Run(merge);
        QCOMPARE(merged.status, 0);
        QCOMPARE(merged.out, single.out);

        // A damaged part: the merge names it, fails and writes nothing.
        const QByteArray part1 = dir.Read("figures-1.tsv");
        const QByteArray header = part1.left(part1.indexOf('\n') + 1);
        const QList<std::pair<QByteArray, QByteArray>> damages{
            {part1.chopped(3), "part 1 is cut short"},
            {part1 + part1.mid(header.size())
                         .left(part1.indexOf('\n', header.size()) + 1 - header.size()),
             "part 1 is cut short or damaged"},
            {QByteArray(part1).replace(0, 4, "name"), "part 1 does not begin with the header"},
            {"", "part 1 does not begin with the header"},
            {{}, "part 1 is missing"}};
        for (const auto& [content, says] : damages) {
            if (content.isNull())
                QVERIFY(QFile::remove(dir.Path("figures-1.tsv")));
            else
                dir.Write("figures-1.tsv", content);
            const ShellRun failed = dir.Run(merge);
            QCOMPARE(failed.status, 1);
            QVERIFY2(failed.err.contains(says), failed.err.constData());
            QVERIFY2(failed.out.isEmpty(), failed.out.constData());
        }
    }

    void slurmFiguresRefuses()
    {
        // What a task and the merge refuse before running anything, and a task whose
        // run failed: a fake program that records it ran, copies the header of the
        // real one, gives each name a row and ends with the status it is given.
        RecipeFolder dir;
        const QByteArray header = dir.Run("\"$VOLINSPECT\" --figures - < /dev/null").out;
        QVERIFY(header.startsWith("file\tfigure\t"));
        dir.Write("header.tsv", header);
        dir.Write("fake", "#!/bin/sh\n"
                          "echo \"$*\" >> ran.txt\n"
                          "cat header.tsv\n"
                          "sed 's/$/\tnan/'\n"
                          "exit $FAKE_STATUS\n");
        QVERIFY(QFile::setPermissions(dir.Path("fake"),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        dir.Write("list.txt", "a\nb\n\nc\nd\n");
        const QByteArray fake = "FAKE_STATUS=0 VOLINSPECT=./fake ";

        // A NUL byte, counted by lines including empty ones; a missing output folder.
        dir.Write("nul.txt", QByteArray("a\nb\n\nc\0d\ne\n", 12));
        const QList<std::pair<QByteArray, QByteArray>> refused{
            {Task(0, 0, 2) + fake + "\"$SCRIPTS/slurm-figures\" nul.txt",
             "line 4 of the list 'nul.txt' holds a NUL byte"},
            {"\"$SCRIPTS/slurm-figures\" --merge nul.txt 2",
             "line 4 of the list 'nul.txt' holds a NUL byte"},
            {Task(0, 0, 2) + fake + "\"$SCRIPTS/slurm-figures\" list.txt absent",
             "the output folder 'absent' does not exist"},
            {Task(0, 0, 2) + fake + "\"$SCRIPTS/slurm-figures\" no-list.txt",
             "cannot read the list 'no-list.txt'"},
            {"\"$SCRIPTS/slurm-figures\" --merge list.txt 2 absent",
             "the folder of the parts 'absent' does not exist"}};
        for (const auto& [script, says] : refused) {
            const ShellRun run = dir.Run(script);
            QCOMPARE(run.status, 2);
            QVERIFY2(run.err.contains("slurm-figures: " + says), run.err.constData());
            QVERIFY(run.out.isEmpty());
            QVERIFY(!QFile::exists(dir.Path("ran.txt")));
            QVERIFY(QDir(dir.Path(".")).entryList({"figures-*"}).isEmpty());
        }

        // The program's status decides: 0 and 1 publish the part (the task ends with
        // 0, so the merge may depend on it with afterok); any other status leaves the
        // table incomplete, so no part, not even a partial one, and the task fails.
        for (const int status : {0, 1, 2, 3, 139}) {
            QFile::remove(dir.Path("figures-1.tsv")); // the part of the run before
            const ShellRun run = dir.Run(
                Task(1, 0, 2) + "SLURM_CPUS_PER_TASK=3 FAKE_STATUS=" + QByteArray::number(status) +
                " VOLINSPECT=./fake \"$SCRIPTS/slurm-figures\" list.txt");
            QCOMPARE(dir.Read("ran.txt"), QByteArray("--figures --jobs 3 -\n"));
            QVERIFY(QFile::remove(dir.Path("ran.txt")));
            const QStringList parts = QDir(dir.Path(".")).entryList({"figures-*"});
            if (status <= 1) {
                QVERIFY2(run.status == 0, run.err.constData());
                QCOMPARE(parts, QStringList{"figures-1.tsv"});
                QCOMPARE(dir.Read("figures-1.tsv"), header + "c\tnan\nd\tnan\n");
            } else {
                QCOMPARE(run.status, status);
                QVERIFY2(run.err.contains("part 1 not written: the run ended with status " +
                                          QByteArray::number(status)),
                         run.err.constData());
                QVERIFY2(parts.isEmpty(), qPrintable(parts.join(' ')));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestFigureTable)
#include "tst_figuretable.moc"
