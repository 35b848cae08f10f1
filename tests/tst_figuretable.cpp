// The table mode: its table and messages, names from standard input, usage errors,
// many ICS files read on many threads, the progress line, a process with no display,
// the two recipes for many machines (GNU parallel, a Slurm job array), cells that read
// back exactly (with Python's csv module too), and worker threads the system refuses.

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
#include <filesystem>

#ifndef __has_feature
#define __has_feature(feature) 0
#endif

using namespace Qt::StringLiterals;

namespace {

/** A run of the table mode in this process or of a script: what it wrote and its status. */
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

/** The line the table gives a volume that loads, its name cell `name`. */
QByteArray ExpectedLine(const QString& name, const ByteVolume& volume,
                        const QByteArray& message = {})
{
    const float figure = ComputeLagSpectrum(volume, SpectrumVolume, 0, 0).Figure;
    const QByteArray text = std::isnan(figure)
                                ? QByteArray("nan")
                                : QByteArray::fromStdString(FormatC("%.9g", double(figure)));
    return name.toUtf8() + '\t' + text + '\t' + QByteArray::number(volume.SizeX) + '\t' +
           QByteArray::number(volume.SizeY) + '\t' + QByteArray::number(volume.SizeZ) + "\t0\t0\t" +
           message;
}

/** The cells in hex, separated by tabs, as ReadBackScript prints a row. */
QByteArray HexRow(const QList<QByteArray>& cells)
{
    QList<QByteArray> hex;
    for (const QByteArray& cell : cells)
        hex << cell.toHex();
    return hex.join('\t') + '\n';
}

/** Reads tables (argv: "tsv" or "csv", the files) with Python's csv module and prints
 *  each row's cells in hex, their escapes undone, separated by tabs. */
const char* const ReadBackScript = R"py(
import csv, re, sys
form, paths = sys.argv[1], sys.argv[2:]
SIMPLE = {b"\\": b"\\", b"t": b"\t", b"n": b"\n", b"r": b"\r"}
escape = rb"\\(x[0-9a-fA-F]{2}|[\\tnr])" if form == "tsv" else rb"\\(x[0-9a-fA-F]{2})"
def undo(cell):
    return re.sub(escape, lambda m: SIMPLE.get(m[1]) or bytes([int(m[1][1:], 16)]),
                  cell.encode("utf-8"))
dialect = {"delimiter": "\t", "quoting": csv.QUOTE_NONE} if form == "tsv" else {}
for path in paths:
    with open(path, newline="", encoding="utf-8") as table:
        for row in csv.reader(table, **dialect):
            print("\t".join(undo(cell).hex() for cell in row))
)py";

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

/** A temporary folder, removed whatever names it holds, where bash runs scripts in a
 *  UTF-8 locale with VOLINSPECT, SCRIPTS and the built volinspect first on the PATH. */
class ShellFolder
{
public:
    ~ShellFolder() { std::filesystem::remove_all(QFile::encodeName(dir.path()).toStdString()); }
    QString Path(const QString& name) const { return dir.filePath(name); }
    void Write(const QString& name, const QByteArray& data) const
    {
        QFile file(Path(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(data) == data.size());
    }
    TableRun Run(const QByteArray& script) const
    {
        QProcess process;
        process.setWorkingDirectory(dir.path());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VOLINSPECT", VOLINSPECT_EXE);
        env.insert("SCRIPTS", VOLINSPECT_SCRIPTS);
        env.insert("PATH", QFileInfo(VOLINSPECT_EXE).absolutePath() + ':' + env.value("PATH"));
        env.insert("LC_ALL", "C.UTF-8"); // a name that is not UTF-8 must survive it
        process.setProcessEnvironment(env);
        process.start("bash", {"-c", QString::fromLatin1(script)});
        TableRun run;
        if (!process.waitForFinished(60000)) return run;
        run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.out = process.readAllStandardOutput();
        run.err = process.readAllStandardError();
        return run;
    }

private:
    QTemporaryDir dir;
};

} // namespace

class TestFigureTable : public QObject
{
    Q_OBJECT
private slots:
    void tableAndMessages()
    {
        QTemporaryDir dir;
        QVERIFY(QDir::setCurrent(dir.path()));
        ByteVolume a, b, narrow, cut;
        FillRandom(a, 40, 7, 3, 1);
        FillRandom(b, 200, 3, 2, 2);
        FillRandom(narrow, 9, 4, 4, 3);
        SaveRaw(a, "a.raw");
        SaveRaw(b, "b.raw");
        SaveRaw(narrow, "narrow.raw");
        QVERIFY(QFile::copy("a.raw", "tab\there.raw"));
        // A raw file one slice short: it loads, with a warning, and has its figure.
        QVERIFY(QFile::copy("b.raw", "short.raw") && QFile::resize("short.raw", 12 + 200 * 3));
        FillRandom(cut, 200, 3, 2, 2);
        std::fill(cut.VoxelPtr(0, 0, 1), cut.Data + cut.VoxelCount(), uint8_t(0));
        const TableRun run = RunTable({"--jobs", "3", "b.raw", "missing.raw", "narrow.raw",
                                       "tab\there.raw", "short.raw", "a.raw"});
        QCOMPARE(run.status, 1);
        QCOMPARE(run.out,
                 Table({ExpectedLine("b.raw", b),
                        "missing.raw\tnan\t\t\t\t0\t0\tcannot load: No such file or directory",
                        "narrow.raw\tnan\t9\t4\t4\t0\t0\tthe volume is 9 voxels wide; the figure "
                        "needs at least 10",
                        ExpectedLine("tab\\there.raw", a),
                        ExpectedLine("short.raw", cut,
                                     "warning: the data section holds 600 of 1200 voxel bytes; the "
                                     "rest are 0"),
                        ExpectedLine("a.raw", a)}));
        QCOMPARE(
            run.err,
            QByteArray("volinspect: cannot load 'missing.raw': No such file or directory\n"
                       "volinspect: 'narrow.raw' is 9 voxels wide; the figure needs at least 10\n"
                       "volinspect: warning: 'short.raw': the data section holds 600 of 1200 "
                       "voxel bytes; the rest are 0\n"));
        // All well: status 0, nothing on standard error; "--" lets a name begin with "-".
        QVERIFY(QFile::copy("a.raw", "-a.raw"));
        const TableRun good = RunTable({"--jobs=2", "--", "-a.raw", "b.raw"});
        QCOMPARE(good.status, 0);
        QCOMPARE(good.out, Table({ExpectedLine("-a.raw", a), ExpectedLine("b.raw", b)}));
        QVERIFY(good.err.isEmpty());
        // After "--", "--help" is a name too.
        QCOMPARE(RunTable({"--", "--help"}).out,
                 Table({"--help\tnan\t\t\t\t0\t0\tcannot load: No such file or directory"}));
        // Names from standard input: CR LF line ends and empty lines.
        const TableRun listed = RunTable({"-"}, "b.raw\r\n\n\na.raw\r\n\r\nb.raw");
        QCOMPARE(listed.status, 0);
        QCOMPARE(listed.out, Table({ExpectedLine("b.raw", b), ExpectedLine("a.raw", a),
                                    ExpectedLine("b.raw", b)}));
        // A listed name with a NUL byte: the file its first part names is not the one listed.
        const TableRun nul = RunTable({"-"}, "a.raw\n\na.raw\0x\r\nb.raw"_ba);
        const QByteArray why = "the name on line 3 of standard input holds a NUL byte";
        QCOMPARE(nul.status, 1);
        QCOMPARE(nul.out, Table({ExpectedLine("a.raw", a),
                                 "a.raw\\x00x\tnan\t\t\t\t0\t0\tcannot load: " + why,
                                 ExpectedLine("b.raw", b)}));
        QCOMPARE(nul.err, "volinspect: cannot load 'a.raw\\x00x': " + why + '\n');
        // A reason that holds bytes of the file (a data file named by the header) is
        // escaped as a name is.
        QFile header("named.ics");
        QVERIFY(header.open(QIODevice::WriteOnly));
        header.write("\t\nics_version\t2.0\nfilename\tnamed\nlayout\tparameters\t4\n"
                     "layout\torder\tbits\tx\ty\tz\nlayout\tsizes\t8\t4\t4\t4\n"
                     "representation\tformat\tinteger\nsource\tfile\tda\033ta\\x41.bin\nend\n");
        header.close();
        QCOMPARE(RunTable({"named.ics"}).out,
                 Table({"named.ics\tnan\t\t\t\t0\t0\tcannot load: the data file "
                        "da\\x1bta\\\\x41.bin is missing"}));
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
        QTest::newRow("--help as the value of --jobs")
            << QStringList{"--jobs", "--help", "a"} << QByteArray("not '--help'");
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

    void cellEscapes_data()
    {
        // The bytes of a name, its cell in the tab-separated table and its CSV field.
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("cell");
        QTest::addColumn<QByteArray>("field");
        const auto row = [](const char* name, const QByteArray& bytes, const QByteArray& cell,
                            const QByteArray& field) {
            QTest::newRow(name) << bytes << cell << field;
        };
        row("plain", "a b-c.raw", "a b-c.raw", "a b-c.raw");
        row("backslashes", "\\x4 \\xg1 \\y a\\b\\", "\\\\x4 \\\\xg1 \\\\y a\\\\b\\\\",
            "\\x4 \\xg1 \\y a\\b\\");
        // The text of an escape and the byte it stands for differ in both forms.
        row("escape text", "a\\x09b\\xFf", "a\\\\x09b\\\\xFf", "a\\x5cx09b\\x5cxFf");
        row("tab", "a\tb", "a\\tb", "a\tb");
        row("line feed", "a\nb", "a\\nb", "\"a\nb\"");
        row("carriage return", "a\rb", "a\\rb", "\"a\rb\"");
        row("leading quote", "\"q.raw", "\"q.raw", "\"\"\"q.raw\"");
        row("comma", "a,b", "a,b", "\"a,b\"");
        row("controls", "\x1b[31m\x7f\x01 a\0b"_ba, "\\x1b[31m\\x7f\\x01 a\\x00b",
            "\\x1b[31m\\x7f\\x01 a\\x00b");
        const char* const utf8 = "gr\xc3\xbc\xc3\x9f \xe2\x80\x94 \xf0\x9f\x94\xac";
        row("UTF-8", utf8, utf8, utf8);
        // Latin-1, a C1 control, an overlong form, a surrogate, a character cut at the end.
        row("not UTF-8", "caf\xe9 \xff \xc2\x85 \xc0\xaf \xed\xa0\x80 ab\xe2\x80",
            "caf\\xe9 \\xff \\xc2\\x85 \\xc0\\xaf \\xed\\xa0\\x80 ab\\xe2\\x80",
            "caf\\xe9 \\xff \\xc2\\x85 \\xc0\\xaf \\xed\\xa0\\x80 ab\\xe2\\x80");
        row("all at once", "\"x\",\t\\\n\xff", "\"x\",\\t\\\\\\n\\xff",
            "\"\"\"x\"\",\t\\\n\\xff\"");
        row("empty", "", "", "");
    }
    void cellEscapes()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, cell);
        QFETCH(QByteArray, field);
        std::string tsv = "kept:", csv = "kept:"; // appended to, not written over
        AppendTableCell(tsv, bytes.toStdString());
        AppendCsvField(csv, bytes.toStdString());
        QCOMPARE(tsv, "kept:" + cell.toStdString());
        QCOMPARE(csv, "kept:" + field.toStdString());
    }

    void pythonReadsTheTable_data()
    {
        QTest::addColumn<bool>("csv");
        QTest::newRow("tab-separated, QUOTE_NONE") << false;
        QTest::newRow("--csv, the reader's defaults") << true;
    }
    void pythonReadsTheTable()
    {
        // Random byte strings rich in the bytes that need care, then the table of real
        // files whose names hold them, read back by Debian's Python: every cell comes
        // back to its bytes, every row in order. A cell holds no control character but,
        // in CSV, a tab, and line ends inside the quotes it has exactly when it needs them.
        QFETCH(bool, csv);
        const auto escape = csv ? AppendCsvField : AppendTableCell;
        const char special[] = "\\\t\n\r\",x0fF\0\x1b\x7f\xc2\x85\xe9\xff\xe2\x80";
        QRandomGenerator random(18);
        QByteArray cells, expected;
        for (int n = 0; n < 10000; ++n) {
            QByteArray bytes;
            for (int i = random.bounded(12); i > 0; --i)
                bytes += random.bounded(3) ? special[random.bounded(int(sizeof special) - 1)]
                                           : char(random.bounded(256));
            std::string text;
            escape(text, bytes.toStdString());
            const QByteArray cell = QByteArray::fromStdString(text);
            const bool quoted = csv && (bytes.contains(',') || bytes.contains('"') ||
                                        bytes.contains('\n') || bytes.contains('\r'));
            const bool clean = std::all_of(cell.begin(), cell.end(), [&](char c) {
                return (uchar(c) >= 0x20 && c != 0x7f) || (csv && c == '\t') ||
                       (quoted && (c == '\n' || c == '\r'));
            });
            const QByteArray hex = bytes.toHex();
            QVERIFY2(clean && (!csv || cell.startsWith('"') == quoted), hex.constData());
            cells += cell + (csv ? ",end\n" : "\tend\n");
            expected += hex + "\t656e64\n"; // "end"
        }
        if (!QFileInfo::exists("/usr/bin/python3")) {
            if (qEnvironmentVariable("CI") == "true") QFAIL("/usr/bin/python3 is missing");
            QSKIP("/usr/bin/python3 is not installed");
        }
        ShellFolder dir;
        dir.Write("read.py", ReadBackScript);
        dir.Write("cells", cells);
        const QList<QByteArray> names = {"\"quoted, start \\x41 \\t.raw",
                                         "tab\tline\nfeed\rcr.raw",
                                         "back\\slash\\",
                                         "latin1 caf\xe9 gr\xc3\xbc\xc3\x9f \xff.raw",
                                         "mix \"a\",\tb\\\xff.raw",
                                         "missing \"x\",\t.raw"};
        QByteArray command = "\"$VOLINSPECT\" --figures " + QByteArray(csv ? "--csv --" : "--");
        expected +=
            HexRow({"file", "figure", "size_x", "size_y", "size_z", "channel", "frame", "message"});
        ByteVolume volume;
        FillRandom(volume, 12, 3, 2, 1);
        const QList<QByteArray> loads = ExpectedLine("", volume).split('\t').mid(1);
        const QList<QByteArray> fails = {
            "nan", "", "", "", "0", "0", "cannot load: No such file or directory"};
        for (const QByteArray& name : names) {
            command += " $'\\x" + name.toHex(':').replace(":", "\\x") + "'";
            const bool exists = !name.startsWith("missing");
            if (exists)
                QCOMPARE(
                    volume.SaveRaw((QFile::encodeName(dir.Path({})) + '/' + name).toStdString()),
                    0);
            expected += HexRow(QList<QByteArray>{name} + (exists ? loads : fails));
        }
        const TableRun read =
            dir.Run(command + " > table.out 2>/dev/null; echo status $?; " +
                    "/usr/bin/python3 read.py " + (csv ? "csv" : "tsv") + " cells table.out");
        QCOMPARE(read.out + read.err, "status 1\n" + expected); // a traceback shows
    }

    void workersTheSystemRefuses_data()
    {
        // Thread stacks of 1 GiB (the stack limit) within an address space of 2.5 GiB
        // leave room for one or two workers; within 1 GiB, for none.
        QTest::addColumn<int>("addressSpaceKiB");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("err");
        QTest::newRow("room for some")
            << 2621440 << 0
            << "volinspect: warning: --figures: only ([1-7]) of 8 worker threads could start "
               "\\([^\\n]+\\); going on with \\1\\n";
        QTest::newRow("room for none") << 1048576 << 2
                                       << "volinspect: --figures: the system refuses to start a "
                                          "worker thread \\([^\\n]+\\)\\n";
    }
    void workersTheSystemRefuses()
    {
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
        QSKIP("AddressSanitizer reserves more address space than any limit here allows");
#endif
        QFETCH(int, addressSpaceKiB);
        QFETCH(int, status);
        QFETCH(QString, err);
        ShellFolder dir;
        ByteVolume volume;
        FillRandom(volume, 30, 4, 2, 8);
        SaveRaw(volume, dir.Path("v.raw"));
        const TableRun run = dir.Run("ulimit -s 1048576 2>/dev/null || exit 77; ulimit -v " +
                                     QByteArray::number(addressSpaceKiB) +
                                     " && exec \"$VOLINSPECT\" --figures --jobs 8" +
                                     QByteArray(" v.raw").repeated(8));
        if (run.status == 77) QSKIP("the stack limit cannot be raised to 1 GiB here");
        QCOMPARE(run.status, status);
        QCOMPARE(run.out, status ? QByteArray()
                                 : Table(QList<QByteArray>(8, ExpectedLine("v.raw", volume))));
        QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(err))
                     .match(QString::fromUtf8(run.err))
                     .hasMatch(),
                 run.err.constData());
    }

    void recipesForManyMachines()
    {
        // The README's recipes give the table one process gives: GNU parallel over
        // blocks of the list, and a Slurm job array split and merged by its script
        // (the array's variables set by hand), in a UTF-8 locale, with a Latin-1 name.
        ShellFolder dir;
        for (int i = 0; i < 11; ++i) {
            ByteVolume volume;
            FillRandom(volume, i < 10 ? 12 + 3 * i : 9, 4, 2, quint32(i));
            SaveRaw(volume, dir.Path(i < 10 ? QStringLiteral("v%1.raw").arg(i) : "narrow.raw"));
        }
        QCOMPARE(dir.Run("cp v0.raw $'caf\\xe9.raw'").status, 0); // Qt would write UTF-8
        dir.Write("list.txt",
                  "v0.raw\nv1.raw\nnarrow.raw\nv2.raw\nv3.raw\r\n\ncaf\xe9.raw\nv4.raw\n"
                  "v5.raw\nv6.raw\nv7.raw\nmissing.raw\nv8.raw\nv9.raw\n");

        const TableRun single = dir.Run("\"$VOLINSPECT\" --figures - < list.txt");
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
        const QByteArray recipe =
            "sed -n '/^### Many cores or machines with GNU parallel$/,/^```$/p' "
            "\"$SCRIPTS/../README.md\" | sed '1,/^```sh$/d; $d; s/ -N 1000 / -N 3 /' > recipe.sh";
        QCOMPARE(dir.Run(recipe + " && grep -q ' -N 3 ' recipe.sh && bash recipe.sh").status, 2);
        QCOMPARE(dir.Run("cat figures.tsv").out, single.out);

        // Tasks 5, 6, 7 of an array whose first task is 5: parts 0, 1 and 2 of 4, 4
        // and 5 names; part 1 holds the Latin-1 name.
        for (int task = 5; task < 8; ++task) {
            const TableRun run =
                dir.Run("SLURM_ARRAY_TASK_MIN=5 SLURM_ARRAY_TASK_COUNT=3 SLURM_ARRAY_TASK_ID=" +
                        QByteArray::number(task) + " \"$SCRIPTS/slurm-figures\" list.txt");
            QVERIFY2(run.status == 0, run.err.constData());
        }
        const QByteArray part1 = dir.Run("cat figures-1.tsv").out;
        QCOMPARE(part1.count('\n'), 5);
        const QByteArray merge = "\"$SCRIPTS/slurm-figures\" --merge list.txt 3";
        const TableRun merged = dir.Run(merge);
        QCOMPARE(merged.status, 0);
        QCOMPARE(merged.out, single.out);

        // A damaged part: the merge names it, fails and writes nothing.
        const qsizetype row1 = part1.indexOf('\n') + 1;
        const QList<std::pair<QByteArray, QByteArray>> damages{
            {part1.chopped(3), "part 1 is cut short"},
            {part1 + part1.mid(row1, part1.indexOf('\n', row1) + 1 - row1),
             "part 1 is cut short or damaged"},
            {QByteArray(part1).replace(0, 4, "name"), "part 1 does not begin with the header"},
            {"", "part 1 does not begin with the header"},
            {{}, "part 1 is missing"}};
        for (const auto& [content, says] : damages) {
            if (content.isNull())
                QVERIFY(QFile::remove(dir.Path("figures-1.tsv")));
            else
                dir.Write("figures-1.tsv", content);
            const TableRun failed = dir.Run(merge);
            QCOMPARE(failed.status, 1);
            QVERIFY2(failed.err.contains(says) && failed.out.isEmpty(), failed.err.constData());
        }
    }

    void slurmFiguresRefuses()
    {
        // What a task and the merge refuse before running anything, and a task whose
        // run failed: a fake program that records it ran, writes the table's header,
        // gives each name a row and ends with the status it is given.
        ShellFolder dir;
        const QByteArray header = FigureTableHeader;
        dir.Write("header.tsv", header);
        dir.Write("fake", "#!/bin/sh\necho \"$*\" >> ran.txt\ncat header.tsv\n"
                          "sed 's/$/\tnan/'\nexit $FAKE_STATUS\n");
        QVERIFY(QFile::setPermissions(dir.Path("fake"), QFile::ReadOwner | QFile::ExeOwner));
        dir.Write("list.txt", "a\nb\n\nc\nd\n");
        // A NUL byte, counted by lines including empty ones; a missing output folder.
        dir.Write("nul.txt", "a\nb\n\nc\0d\ne\n"_ba);
        const QByteArray array =
            "SLURM_ARRAY_TASK_MIN=0 SLURM_ARRAY_TASK_COUNT=2 SLURM_ARRAY_TASK_ID=";
        const QByteArray task = array + "0 FAKE_STATUS=0 VOLINSPECT=./fake ";
        const QList<std::pair<QByteArray, QByteArray>> refused{
            {task + "\"$SCRIPTS/slurm-figures\" nul.txt",
             "line 4 of the list 'nul.txt' holds a NUL byte"},
            {"\"$SCRIPTS/slurm-figures\" --merge nul.txt 2",
             "line 4 of the list 'nul.txt' holds a NUL byte"},
            {task + "\"$SCRIPTS/slurm-figures\" list.txt absent",
             "the output folder 'absent' does not exist"},
            {task + "\"$SCRIPTS/slurm-figures\" no-list.txt", "cannot read the list 'no-list.txt'"},
            {"\"$SCRIPTS/slurm-figures\" --merge list.txt 2 absent",
             "the folder of the parts 'absent' does not exist"}};
        for (const auto& [script, says] : refused) {
            const TableRun run = dir.Run(script);
            QCOMPARE(run.status, 2);
            QVERIFY2(run.err.contains("slurm-figures: " + says) && run.out.isEmpty(),
                     run.err.constData());
            QCOMPARE(QDir(dir.Path(".")).entryList({"ran.txt", "figures-*"}), QStringList());
        }

        // The program's status decides: 0 and 1 publish the part (the task ends with
        // 0, so the merge may depend on it with afterok); any other status leaves the
        // table incomplete, so no part, not even a partial one, and the task fails.
        for (const int status : {0, 1, 2, 3, 139}) {
            QFile::remove(dir.Path("figures-1.tsv")); // the part of the run before
            const TableRun run = dir.Run(
                array + "1 SLURM_CPUS_PER_TASK=3 FAKE_STATUS=" + QByteArray::number(status) +
                " VOLINSPECT=./fake \"$SCRIPTS/slurm-figures\" list.txt");
            QCOMPARE(dir.Run("cat ran.txt && rm ran.txt").out, "--figures --jobs 3 -\n");
            const QStringList parts = QDir(dir.Path(".")).entryList({"figures-*"});
            QCOMPARE(run.status, status <= 1 ? 0 : status);
            if (status <= 1) {
                QCOMPARE(parts, QStringList{"figures-1.tsv"});
                QCOMPARE(dir.Run("cat figures-1.tsv").out, header + "c\tnan\nd\tnan\n");
            } else {
                QVERIFY2(run.err.contains("part 1 not written: the run ended with status " +
                                          QByteArray::number(status)),
                         run.err.constData());
                QCOMPARE(parts, QStringList());
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestFigureTable)
#include "tst_figuretable.moc"
