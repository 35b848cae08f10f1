// The table mode: its table and messages, names from standard input, usage errors,
// many ICS files read on many threads, the progress line, a process with no display,
// and the two recipes for many machines (GNU parallel, a Slurm job array).

#include "ByteVolume.h"
#include "FigureTable.h"
#include "IcsWriter.h"
#include "MessageText.h"
#include "Spectrum.h"
#include "TableRun.h"
#include "TestVolumes.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <cstdio>

namespace {

/** The line the table gives a volume that loads: its figure computed here. */
QByteArray ExpectedLine(const QString& name, const ByteVolume& volume)
{
    const float figure = ComputeLagSpectrum(volume, SpectrumVolume, 0, 0).Figure;
    const QByteArray text = std::isnan(figure)
                                ? QByteArray("nan")
                                : QByteArray::fromStdString(FormatC("%.9g", double(figure)));
    return name.toUtf8() + '\t' + text + '\t' + QByteArray::number(volume.SizeX) + '\t' +
           QByteArray::number(volume.SizeY) + '\t' + QByteArray::number(volume.SizeZ) + "\t0\t0\t";
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
        QVERIFY(QFile::copy("a.raw", "tab\there\\.raw"));
        const TableRun run = RunTable(
            {"--jobs", "3", "b.raw", "missing.raw", "narrow.raw", "tab\there\\.raw", "a.raw"});
        QCOMPARE(run.status, 1);
        QCOMPARE(run.out,
                 Table({ExpectedLine("b.raw", b),
                        "missing.raw\tnan\t\t\t\t0\t0\tcannot load: No such file or directory",
                        "narrow.raw\tnan\t9\t4\t4\t0\t0\tthe volume is 9 voxels wide; the figure "
                        "needs at least 10",
                        ExpectedLine("tab\\there\\\\.raw", a), ExpectedLine("a.raw", a)}));
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
        list += "missing.raw\ncaf\xe9.raw\n";
        QFile file(Path(dir, "list.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(list) == list.size());
        file.close();
        const auto shell = [&](const QString& script, int& status) {
            QProcess process;
            process.setWorkingDirectory(dir.path());
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("VOLINSPECT", VOLINSPECT_EXE);
            env.insert("SCRIPTS", VOLINSPECT_SCRIPTS);
            env.insert("PATH", QFileInfo(VOLINSPECT_EXE).absolutePath() + ':' + env.value("PATH"));
            env.insert("LC_ALL", "C.UTF-8"); // a name that is not UTF-8 must survive it
            process.setProcessEnvironment(env);
            process.start("bash", {"-c", script});
            process.waitForFinished(60000);
            status = process.exitCode();
            return process.readAllStandardOutput() + process.readAllStandardError();
        };
        int status = 0;
        QCOMPARE(shell("cp v0.raw $'caf\\xe9.raw'", status), QByteArray()); // a Latin-1 name
        const QByteArray single =
            shell("\"$VOLINSPECT\" --figures - < list.txt 2>/dev/null", status);
        QCOMPARE(status, 1); // the missing file
        QCOMPARE(single.count('\n'), 14);

        if (QStandardPaths::findExecutable("parallel").isEmpty()) {
            qWarning("GNU parallel is not installed: its recipe is not tried");
        } else {
            // The README's block in blocks of 3 lines: one block fails, and so does the whole.
            const QByteArray merged =
                shell("sed -n '/^### Many cores or machines with GNU parallel$/,/^```$/p' "
                      "\"$SCRIPTS/../README.md\" | sed '1,/^```sh$/d; $d; s/ -N 1000 / -N 3 /' > "
                      "recipe.sh && bash recipe.sh 2>/dev/null; echo $? && cat figures.tsv",
                      status);
            QCOMPARE(merged, "1\n" + single);
        }

        // Refused, saying why: a listed name with a NUL byte (it names another file), by the
        // table and a Slurm task; a missing output folder; the part of a run that ended with 3.
        for (const auto& [script, says, refused] :
             {std::tuple{"printf 'v0.raw\\n\\nv1.raw\\0x' > nul.txt; \"$VOLINSPECT\" --figures - < "
                         "nul.txt",
                         "\nv1.raw\\x00x\tnan\t\t\t\t0\t0\tcannot load: the name on line 3 of", 1},
              {"\"$SCRIPTS/slurm-figures\" nul.txt",
               "line 3 of the list 'nul.txt' holds a NUL byte", 2},
              {"\"$SCRIPTS/slurm-figures\" list.txt absent",
               "the output folder 'absent' does not exist", 2},
              {"trap '' XFSZ; ulimit -f 0; SLURM_ARRAY_TASK_ID=5 SLURM_ARRAY_TASK_MIN=5 "
               "SLURM_ARRAY_TASK_COUNT=3 \"$SCRIPTS/slurm-figures\" list.txt; ls figures-*",
               "part 0 not written: the run ended with status 3", 2}}) {
            const QByteArray said = shell(script, status);
            QVERIFY2(said.contains(says) && status == refused, said);
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
        QVERIFY(shell("\"$SCRIPTS/slurm-figures\" --merge list.txt 3", status)
                    .startsWith("slurm-figures: part 1 is cut short")); // nothing on stdout
        QCOMPARE(status, 1);
        QVERIFY(QFile::remove(Path(dir, "figures-1.tsv")));
        QVERIFY(shell("\"$SCRIPTS/slurm-figures\" --merge list.txt 3 >/dev/null", status)
                    .contains("part 1 is missing"));
        QCOMPARE(status, 1);

#ifndef __SANITIZE_ADDRESS__ // which reserves more address space than these limits allow
        // 1 GiB stacks in 2.5 GiB of address space: room for some of 8 workers; in 1 GiB, none.
        for (const int refused : {0, 2}) {
            const QByteArray said = shell(QString("ulimit -s 1048576 -v %1; \"$VOLINSPECT\" "
                                                  "--figures --jobs 8 $(yes v0.raw | head -n 8)")
                                              .arg(refused ? 1048576 : 2621440),
                                          status);
            QVERIFY2(status == refused && said.count('\n') == (refused ? 1 : 10) &&
                         said.contains("worker thread"),
                     said);
        }
#endif

        // Debian's Python reads both forms back: names that need quotes or escapes, and cells.
        const QByteArray cells = single.split('\n')[1].mid(6);
        QByteArray names, expected = FigureTableHeader;
        for (const QByteArray name : {"\"a\", b\t\\x41\\.raw", "c\nd\r\xff.raw", "caf\xe9.raw"}) {
            names += " $'\\x" + name.toHex(':').replace(":", "\\x") + "'";
            expected += name + cells + '\n';
        }
        const QByteArray read =
            shell("for name in" + names +
                      "; do cp v0.raw \"$name\"; printf '%s\\0' \"$name\"; done > names; for form "
                      "in '' --csv; do xargs -0 -a names \"$VOLINSPECT\" --figures $form | "
                      "/usr/bin/python3 -c '" +
                      R"py(import csv, re, sys
tsv, one = not sys.argv[1:], {b"\\": b"\\", b"t": b"\t", b"n": b"\n", b"r": b"\r"}
for row in csv.reader(open(0, newline="", encoding="utf-8"),
                      **({"delimiter": "\t", "quoting": csv.QUOTE_NONE} if tsv else {})):
    row[0] = re.sub(rb"\\(x..|[\\tnr])" if tsv else rb"\\(x..)",
                    lambda m: one.get(m[1]) or bytes([int(m[1][1:], 16)]), row[0].encode())
    sys.stdout.buffer.write(b"\t".join([row[0]] + [c.encode() for c in row[1:]]) + b"\n"))py" +
                      "' $form; done; xargs -0 -a names rm",
                  status);
        if (!QFileInfo::exists("/usr/bin/python3") && qEnvironmentVariable("CI") != "true")
            QSKIP("/usr/bin/python3 is not installed");
        QCOMPARE(read, expected.repeated(2));
    }
};

QTEST_GUILESS_MAIN(TestFigureTable)
#include "tst_figuretable.moc"
