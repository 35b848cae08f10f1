// The table mode: its table and messages, names from standard input, usage errors,
// many ICS files read on many threads, the progress line, a process with no display,
// the two recipes for many machines (GNU parallel, a Slurm job array), cells that read
// back exactly (with Python's csv module too), and worker threads the system refuses.

#include "ByteVolume.h"
#include "CommandLine.h"
#include "FigureTable.h"
#include "IcsWriter.h"
#include "MessageText.h"
#include "Spectrum.h"
#include "TestVolumes.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#if defined(__SANITIZE_ADDRESS__)
#define VOLINSPECT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VOLINSPECT_ASAN 1
#endif
#endif

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

/** The figure of `volume` as the table writes it, computed here. */
QByteArray FigureText(const ByteVolume& volume)
{
    const float figure = ComputeLagSpectrum(volume, SpectrumVolume, 0, 0).Figure;
    return std::isnan(figure) ? QByteArray("nan")
                              : QByteArray::fromStdString(FormatC("%.9g", double(figure)));
}

/** The line the table gives a volume that loads, its name cell `name`. */
QByteArray ExpectedLine(const QString& name, const ByteVolume& volume,
                        const QByteArray& message = {})
{
    return name.toUtf8() + '\t' + FigureText(volume) + '\t' + QByteArray::number(volume.SizeX) +
           '\t' + QByteArray::number(volume.SizeY) + '\t' + QByteArray::number(volume.SizeZ) +
           "\t0\t0\t" + message;
}

/** The bytes of a tab-separated cell, its escapes undone; "!" + the cell when one is bad. */
QByteArray UndoTableEscapes(const QByteArray& cell)
{
    QByteArray bytes;
    for (qsizetype i = 0; i < cell.size(); ++i) {
        if (cell[i] != '\\') {
            bytes += cell[i];
            continue;
        }
        const char kind = i + 1 < cell.size() ? cell[++i] : '?';
        if (kind == '\\')
            bytes += '\\';
        else if (kind == 't')
            bytes += '\t';
        else if (kind == 'n')
            bytes += '\n';
        else if (kind == 'r')
            bytes += '\r';
        else if (kind == 'x' && i + 2 < cell.size()) {
            bool ok = false;
            bytes += char(cell.mid(i + 1, 2).toUInt(&ok, 16));
            if (!ok) return "!" + cell;
            i += 2;
        } else
            return "!" + cell;
    }
    return bytes;
}

/** The bytes of a CSV field as a reader gives them, then with every \xHH made its byte. */
QByteArray UndoCsvEscapes(QByteArray field)
{
    if (field.startsWith('"')) {
        if (field.size() < 2 || !field.endsWith('"')) return "!" + field;
        field = field.mid(1, field.size() - 2).replace("\"\"", "\"");
    }
    static const QRegularExpression escape("\\\\x([0-9a-fA-F]{2})");
    QByteArray bytes;
    qsizetype from = 0;
    const QString text = QString::fromLatin1(field);
    for (QRegularExpressionMatchIterator it = escape.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        bytes += field.mid(from, match.capturedStart() - from);
        bytes += char(match.captured(1).toUInt(nullptr, 16));
        from = match.capturedEnd();
    }
    return bytes + field.mid(from);
}

/** `bytes` appended by `escape` to a text that must stay as it is, "kept:". */
std::string Escaped(void (*escape)(std::string&, std::string_view), const QByteArray& bytes)
{
    std::string out = "kept:";
    escape(out, std::string_view(bytes.constData(), size_t(bytes.size())));
    return out;
}

/** Runs a program, `input` on its standard input; its status, -1 for a crash. */
int RunProcess(const QString& program, const QStringList& args, const QString& folder,
               QByteArray* out, QByteArray* err, const QByteArray& input = {})
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start(program, args);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000)) process.kill();
    process.waitForFinished();
    if (out) *out = process.readAllStandardOutput();
    if (err) *err = process.readAllStandardError();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
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

/**
 * Runs the table mode (argv: the program, "tsv" or "csv", the names in hex) on the
 * names, reads its table from a file as the README shows, and prints the status, the
 * header's names, then for each row the name in hex, the figure, the sizes, the channel,
 * the frame and the message in hex, separated by tabs.
 */
const char* const ReadBackScript = R"py(
import csv, re, subprocess, sys
exe, form = sys.argv[1], sys.argv[2]
names = [bytes.fromhex(h) for h in sys.argv[3:]]
with open("table.out", "wb") as out:
    status = subprocess.run([exe, "--figures"] + (["--csv"] if form == "csv" else [])
                            + ["--"] + names, stdout=out, stderr=subprocess.DEVNULL).returncode
ESCAPES = {b"\\": b"\\", b"t": b"\t", b"n": b"\n", b"r": b"\r"}
def undo_table(cell):
    return re.sub(rb"\\(x[0-9a-fA-F]{2}|[\\tnr])",
                  lambda m: bytes([int(m[1][1:], 16)]) if m[1][:1] == b"x" else ESCAPES[m[1]],
                  cell.encode("utf-8"))
def undo_csv(cell):
    return re.sub(rb"\\x([0-9a-fA-F]{2})", lambda m: bytes([int(m[1], 16)]),
                  cell.encode("utf-8"))
with open("table.out", newline="", encoding="utf-8") as table:
    if form == "csv":
        rows, undo = list(csv.reader(table)), undo_csv
    else:
        rows = list(csv.reader(table, delimiter="\t", quoting=csv.QUOTE_NONE))
        undo = undo_table
print("status", status)
print(" ".join(rows[0]))
for row in rows[1:]:
    print("\t".join([undo(row[0]).hex()] + row[1:7] + [undo(row[7]).hex()]))
)py";

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
        // A raw file one slice short: it loads, with a warning, and has its figure.
        QVERIFY(QFile::copy("b.raw", "short.raw"));
        QVERIFY(QFile::resize("short.raw", 12 + 200 * 3));
        ByteVolume cut;
        cut.Allocate(200, 3, 2);
        std::copy(b.Data, b.Data + 200 * 3, cut.Data);
        std::fill(cut.VoxelPtr(0, 0, 1), cut.VoxelPtr(0, 0, 1) + 200 * 3, uint8_t(0));
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

    void helpAmongTheOptions_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("gives"); // "help", "version", "usage error" or "table"
        QTest::newRow("--help") << QStringList{"--help"} << "help";
        QTest::newRow("-h among names") << QStringList{"a.raw", "-h", "--jobs=x"} << "help";
        QTest::newRow("--version first") << QStringList{"--version", "--help"} << "version";
        QTest::newRow("--help before -") << QStringList{"--csv", "--help", "-"} << "help";
        QTest::newRow("the value of --jobs")
            << QStringList{"--jobs", "--help", "a.raw"} << "usage error";
        QTest::newRow("a name after --") << QStringList{"--", "--help"} << "table";
    }
    void helpAmongTheOptions()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, gives);
        const TableRun run = RunTable(args);
        if (gives == "help" || gives == "version") {
            QCOMPARE(run.status, 0);
            QCOMPARE(run.out,
                     QByteArray::fromStdString(gives == "help" ? CommandLine::UsageText()
                                                               : CommandLine::VersionText()));
            QVERIFY(run.err.isEmpty());
        } else if (gives == "usage error") {
            QCOMPARE(run.status, 2);
            QVERIFY(run.out.isEmpty());
        } else {
            QCOMPARE(run.status, 1);
            QCOMPARE(run.out, Table({"--help\tnan\t\t\t\t0\t0\tcannot load: No such file or "
                                     "directory"}));
        }
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
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("cell");  // in the tab-separated table
        QTest::addColumn<QByteArray>("field"); // in the CSV table
        QTest::newRow("plain") << QByteArray("a b-c.raw") << QByteArray("a b-c.raw")
                               << QByteArray("a b-c.raw");
        QTest::newRow("backslash")
            << QByteArray("a\\b\\") << QByteArray("a\\\\b\\\\") << QByteArray("a\\b\\");
        // The text of an escape and the byte it stands for differ in both forms.
        QTest::newRow("escape text") << QByteArray("a\\x09b\\xFf") << QByteArray("a\\\\x09b\\\\xFf")
                                     << QByteArray("a\\x5cx09b\\x5cxFf");
        QTest::newRow("not quite escapes")
            << QByteArray("\\x4 \\xg1 \\y") << QByteArray("\\\\x4 \\\\xg1 \\\\y")
            << QByteArray("\\x4 \\xg1 \\y");
        QTest::newRow("tab") << QByteArray("a\tb") << QByteArray("a\\tb") << QByteArray("a\tb");
        QTest::newRow("line feed")
            << QByteArray("a\nb") << QByteArray("a\\nb") << QByteArray("\"a\nb\"");
        QTest::newRow("carriage return")
            << QByteArray("a\rb") << QByteArray("a\\rb") << QByteArray("\"a\rb\"");
        QTest::newRow("leading quote")
            << QByteArray("\"q.raw") << QByteArray("\"q.raw") << QByteArray("\"\"\"q.raw\"");
        QTest::newRow("comma") << QByteArray("a,b") << QByteArray("a,b") << QByteArray("\"a,b\"");
        QTest::newRow("controls") << QByteArray("\x1b[31m\x7f\x01", 7)
                                  << QByteArray("\\x1b[31m\\x7f\\x01")
                                  << QByteArray("\\x1b[31m\\x7f\\x01");
        QTest::newRow("NUL") << QByteArray("a\0b", 3) << QByteArray("a\\x00b")
                             << QByteArray("a\\x00b");
        QTest::newRow("Latin-1") << QByteArray("caf\xe9 \xff") << QByteArray("caf\\xe9 \\xff")
                                 << QByteArray("caf\\xe9 \\xff");
        QTest::newRow("UTF-8") << QByteArray("gr\xc3\xbc\xc3\x9f \xe2\x80\x94 \xf0\x9f\x94\xac")
                               << QByteArray("gr\xc3\xbc\xc3\x9f \xe2\x80\x94 \xf0\x9f\x94\xac")
                               << QByteArray("gr\xc3\xbc\xc3\x9f \xe2\x80\x94 \xf0\x9f\x94\xac");
        QTest::newRow("C1 control")
            << QByteArray("\xc2\x85") << QByteArray("\\xc2\\x85") << QByteArray("\\xc2\\x85");
        QTest::newRow("cut character")
            << QByteArray("ab\xe2\x80") << QByteArray("ab\\xe2\\x80") << QByteArray("ab\\xe2\\x80");
        QTest::newRow("overlong") << QByteArray("\xc0\xaf") << QByteArray("\\xc0\\xaf")
                                  << QByteArray("\\xc0\\xaf");
        QTest::newRow("all at once")
            << QByteArray("\"x\",\t\\\n\xff") << QByteArray("\"x\",\\t\\\\\\n\\xff")
            << QByteArray("\"\"\"x\"\",\t\\\n\\xff\"");
        QTest::newRow("empty") << QByteArray() << QByteArray() << QByteArray();
    }
    void cellEscapes()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, cell);
        QFETCH(QByteArray, field);
        // Appended, not written over.
        QCOMPARE(Escaped(AppendTableCell, bytes), "kept:" + cell.toStdString());
        QCOMPARE(Escaped(AppendCsvField, bytes), "kept:" + field.toStdString());
        QCOMPARE(UndoTableEscapes(cell), bytes);
        QCOMPARE(UndoCsvEscapes(field), bytes);
    }

    void cellsReadBack()
    {
        // Random byte strings, rich in the bytes that need care: every cell reads back
        // to its bytes, a table cell never holds a tab or a line end, a CSV field is
        // quoted exactly when it holds a separator, and a table cell or an unquoted CSV
        // field holds only printable text.
        const char special[] = {'\\',   '\t',   '\n',   '\r',   '"',    ',',    'x',
                                '0',    'f',    'F',    '\0',   '\x1b', '\x7f', '\xc2',
                                '\x85', '\xe9', '\xff', '\xe2', '\x80'};
        QRandomGenerator random(18);
        for (int n = 0; n < 20000; ++n) {
            QByteArray bytes;
            for (int i = random.bounded(12); i > 0; --i)
                bytes += random.bounded(3) ? special[random.bounded(int(sizeof special))]
                                           : char(random.bounded(256));
            const QByteArray cell =
                QByteArray::fromStdString(Escaped(AppendTableCell, bytes)).mid(5);
            const QByteArray field =
                QByteArray::fromStdString(Escaped(AppendCsvField, bytes)).mid(5);
            const QByteArray hex = bytes.toHex();
            QVERIFY2(UndoTableEscapes(cell) == bytes, hex.constData());
            QVERIFY2(UndoCsvEscapes(field) == bytes, hex.constData());
            QVERIFY2(!cell.contains('\t') && !cell.contains('\n') && !cell.contains('\r'),
                     hex.constData());
            const bool separators = bytes.contains(',') || bytes.contains('"') ||
                                    bytes.contains('\n') || bytes.contains('\r');
            QVERIFY2(field.startsWith('"') == separators, hex.constData());
            const auto printable = [](const QByteArray& text, bool tabs) {
                return std::all_of(text.begin(), text.end(), [&](char c) {
                    return (uchar(c) >= 0x20 && uchar(c) != 0x7f) || (tabs && c == '\t');
                });
            };
            QVERIFY2(printable(cell, false), hex.constData());
            QVERIFY2(separators || printable(field, true), hex.constData());
        }
    }

    void pythonReadsTheTable_data()
    {
        QTest::addColumn<bool>("csv");
        QTest::newRow("tab-separated, QUOTE_NONE") << false;
        QTest::newRow("--csv, the reader's defaults") << true;
    }
    void pythonReadsTheTable()
    {
        // Real files whose names hold what tables stumble on, read back by Debian's
        // Python: every row comes back, in order, with its exact name and figure.
        QFETCH(bool, csv);
        const QString python = QStringLiteral("/usr/bin/python3");
        if (!QFileInfo::exists(python)) {
            if (qEnvironmentVariable("CI") == "true") QFAIL("/usr/bin/python3 is missing");
            QSKIP("/usr/bin/python3 is not installed");
        }
        QTemporaryDir dir;
        // QTemporaryDir cannot remove names that are not UTF-8.
        const auto removeAll = qScopeGuard(
            [&] { std::filesystem::remove_all(QFile::encodeName(dir.path()).toStdString()); });
        const QList<QByteArray> names = {"\"quoted start.raw",     "tab\there.raw",
                                         "line\nfeed.raw",         "back\\slash\\",
                                         "comma,name.raw",         "latin1 caf\xe9.raw",
                                         "cr\rname.raw",           "text \\x41 \\t.raw",
                                         "gr\xc3\xbc\xc3\x9f.raw", "mix \"a\",\tb\\\xff.raw",
                                         "narrow, \"9\".raw",      "missing \"x\",\t.raw"};
        QStringList args = {"-c", QString::fromUtf8(ReadBackScript), VOLINSPECT_EXE,
                            csv ? "csv" : "tsv"};
        QList<QByteArray> expected;
        for (qsizetype i = 0; i < names.size(); ++i) {
            const QByteArray& name = names[i];
            args << QString::fromLatin1(name.toHex());
            if (name.startsWith("missing")) {
                expected << name.toHex() + "\tnan\t\t\t\t0\t0\t" +
                                QByteArray("cannot load: No such file or directory").toHex();
                continue;
            }
            ByteVolume volume;
            FillRandom(volume, name.startsWith("narrow") ? 9 : 12 + int(i), 3, 2, quint32(i));
            const std::string path =
                QFile::encodeName(dir.path()).toStdString() + '/' + name.toStdString();
            QCOMPARE(volume.SaveRaw(path), 0);
            const QByteArray message =
                name.startsWith("narrow")
                    ? QByteArray("the volume is 9 voxels wide; the figure needs at least 10")
                    : QByteArray();
            expected << name.toHex() + ExpectedLine("", volume) + message.toHex();
        }
        QByteArray out, err;
        QCOMPARE(RunProcess(python, args, dir.path(), &out, &err), 0);
        QList<QByteArray> lines = out.split('\n');
        QCOMPARE(lines.takeLast(), QByteArray());
        QCOMPARE(lines.takeFirst(), QByteArray("status 1"));
        QCOMPARE(lines.takeFirst(),
                 QByteArray("file figure size_x size_y size_z channel frame message"));
        QCOMPARE(lines, expected);
    }

    void nulByteInListedName()
    {
        // The part before the NUL names a file that exists: it is not what was listed.
        QTemporaryDir dir;
        ByteVolume a;
        FillRandom(a, 20, 3, 2, 5);
        SaveRaw(a, Path(dir, "a.raw"));
        SaveRaw(a, Path(dir, "b"));
        QByteArray out, err;
        const int status = RunProcess(VOLINSPECT_EXE, {"--figures", "-"}, dir.path(), &out, &err,
                                      QByteArray("a.raw\n\nb\0c.raw\r\nb\n", 18));
        QCOMPARE(status, 1);
        QCOMPARE(out, Table({ExpectedLine("a.raw", a),
                             "b\\x00c.raw\tnan\t\t\t\t0\t0\tcannot load: the name on line 3 of "
                             "standard input holds a NUL byte",
                             ExpectedLine("b", a)}));
        QCOMPARE(err, QByteArray("volinspect: cannot load 'b\\x00c.raw': the name on line 3 of "
                                 "standard input holds a NUL byte\n"));
    }

    void workersTheSystemRefuses_data()
    {
        // Thread stacks of 1 GiB (the stack limit) within an address space of 2.5 GiB
        // leave room for one or two workers; within 1 GiB, for none.
        QTest::addColumn<int>("addressSpaceKiB");
        QTest::addColumn<bool>("some");
        QTest::newRow("room for some") << 2621440 << true;
        QTest::newRow("room for none") << 1048576 << false;
    }
    void workersTheSystemRefuses()
    {
#ifdef VOLINSPECT_ASAN
        QSKIP("AddressSanitizer reserves more address space than any limit here allows");
#endif
        QFETCH(int, addressSpaceKiB);
        QFETCH(bool, some);
        QTemporaryDir dir;
        ByteVolume volume;
        FillRandom(volume, 30, 4, 2, 8);
        SaveRaw(volume, Path(dir, "v.raw"));
        QStringList args = {"-c",
                            "ulimit -s 1048576 2>/dev/null || exit 77; ulimit -v $0 || exit 78; "
                            "exec \"$1\" --figures --jobs 8 v.raw v.raw v.raw v.raw v.raw v.raw "
                            "v.raw v.raw",
                            QString::number(addressSpaceKiB), VOLINSPECT_EXE};
        QByteArray out, err;
        const int status = RunProcess("/bin/sh", args, dir.path(), &out, &err);
        if (status == 77) QSKIP("the stack limit cannot be raised to 1 GiB here");
        if (some) {
            QCOMPARE(status, 0);
            QCOMPARE(out, Table(QList<QByteArray>(8, ExpectedLine("v.raw", volume))));
            QVERIFY2(QRegularExpression("^volinspect: warning: --figures: only ([1-7]) of 8 worker "
                                        "threads could start \\([^\\n]+\\); going on with \\1\\n$")
                         .match(QString::fromUtf8(err))
                         .hasMatch(),
                     err.constData());
        } else {
            QCOMPARE(status, 2);
            QCOMPARE(out, QByteArray());
            QVERIFY2(err.startsWith("volinspect: --figures: the system refuses to start a worker "
                                    "thread (") &&
                         err.count('\n') == 1,
                     err.constData());
        }
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
