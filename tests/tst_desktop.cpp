// The files that make volinspect a desktop program: the menu entry passes the
// validator, the file type tells ICS volumes from iCalendar files and recognises a
// header by its content alone, and the manual page renders without warnings.

#include <QMimeDatabase>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString IcsType = QStringLiteral("application/x-volinspect-ics");

/** An ICS header whose fields are separated by `field` and whose lines end in `line`. */
QByteArray Header(char field, const QByteArray& line, const char* version)
{
    return QByteArray(1, field) + line + "ics_version" + field + version + line + "filename" +
           field + "volume" + line + "layout" + field + "sizes" + field + "8" + field + "4" +
           field + "4" + field + "2" + line + "end" + line;
}

/** Runs `program` with `arguments`: its exit status, and standard output and error. */
int Run(const QString& program, const QStringList& arguments, QByteArray& out, QByteArray& err,
        const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) return -1;
    out = process.readAllStandardOutput();
    err = process.readAllStandardError();
    return process.exitCode();
}

} // namespace

class TestDesktop : public QObject
{
    Q_OBJECT
public:
    /**
     * `dataDir` is the only data folder the mime database reads; `systemTypes` the
     * system's freedesktop.org.xml (empty when there is none).
     */
    TestDesktop(const QString& dataDir, const QString& systemTypes)
        : dataDir_(dataDir), systemTypes_(systemTypes)
    {
    }

private slots:
    void initTestCase()
    {
        // The system's types and ours in one database, as a package installs them: Qt
        // takes a name's glob matches from the first folder that has any, so ours alone
        // in a folder of their own would hide iCalendar's "*.ics".
        const QString tool = QStandardPaths::findExecutable("update-mime-database");
        if (tool.isEmpty() || systemTypes_.isEmpty()) return;
        QVERIFY(QDir().mkpath(dataDir_ + "/mime/packages"));
        QVERIFY(QFile::copy(systemTypes_, dataDir_ + "/mime/packages/freedesktop.org.xml"));
        QVERIFY(QFile::copy(VOLINSPECT_PACKAGING "/ics-mime-type.xml",
                            dataDir_ + "/mime/packages/volinspect.xml"));
        QByteArray out, err;
        QCOMPARE(Run(tool, {dataDir_ + "/mime"}, out, err), 0);
        mimeReady_ = true;
    }

    void desktopFileValidates()
    {
        const QString tool = QStandardPaths::findExecutable("desktop-file-validate");
        if (tool.isEmpty()) QSKIP("desktop-file-validate is not installed");
        QByteArray out, err;
        QCOMPARE(Run(tool, {VOLINSPECT_PACKAGING "/menu-entry.desktop"}, out, err), 0);
        QCOMPARE(out + err, QByteArray());
    }

    void fileType_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("type");
        const QByteArray calendar =
            "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n"
            "BEGIN:VEVENT\r\nSUMMARY:scan\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
        QTest::newRow("header .ics") << "x.ics" << Header('\t', "\n", "1.0") << IcsType;
        QTest::newRow("calendar .ics") << "y.ics" << calendar << "text/calendar";
        QTest::newRow("other text .ics") << "z.ics" << QByteArray("notes\n") << "text/calendar";
        QTest::newRow("header, no extension") << "volume" << Header('\t', "\n", "1.0") << IcsType;
        QTest::newRow("version 2") << "v2" << Header('\t', "\n", "2.0") << IcsType;
        QTest::newRow("unit separator") << "us" << Header('\x1f', "\n", "1.0") << IcsType;
        QTest::newRow("comma, semicolon") << "cs.ics" << Header(',', ";", "2.0") << IcsType;
        QTest::newRow("CR LF lines") << "crlf" << Header('\t', "\r\n", "1.0") << IcsType;
        QTest::newRow("version 3") << "v3" << Header('\t', "\n", "3.0") << "text/plain";
    }

    void fileType()
    {
        if (!mimeReady_) QSKIP("update-mime-database or the system's types are missing");
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, type);
        QTemporaryDir dir;
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        file.close();
        QCOMPARE(QMimeDatabase().mimeTypeForFile(file.fileName()).name(), type);
    }

    void manPageRenders()
    {
        const QString man = QStandardPaths::findExecutable("man");
        if (man.isEmpty()) QSKIP("man is not installed");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LC_ALL", "C.UTF-8");
        env.insert("MANROFFSEQ", "");
        env.insert("MANWIDTH", "80");
        QByteArray out, err;
        QCOMPARE(Run(man, {"--warnings", "-l", VOLINSPECT_PACKAGING "/manual.1"}, out, err, env),
                 0);
        QCOMPARE(err, QByteArray());
        QVERIFY(out.contains("EXIT STATUS"));
    }

    void readmeOpensWithCommandsAndManualNamesWideSamples()
    {
        QFile md(VOLINSPECT_SCRIPTS "/../README.md"), man(VOLINSPECT_PACKAGING "/manual.1");
        QVERIFY(md.open(QIODevice::ReadOnly) && man.open(QIODevice::ReadOnly));
        const QString text = md.readAll() + man.readAll();
        QVERIFY(text.contains(QRegularExpression(
            R"(^# volinspect\n\n```sh\nscripts/run .+\nscripts/test [\s\S]+NAME\n.+32\\-bit and )"
            R"(floating[\s\S]+DESCRIPTION[^\x22]+32\\-bit integers or floating)")));
    }

private:
    QString dataDir_, systemTypes_;
    bool mimeReady_ = false;
};

int main(int argc, char** argv)
{
    // QMimeDatabase reads the data folders once, at its first use: the test's own folder
    // replaces the system's and the user's before anything can use it.
    QTemporaryDir data;
    if (!data.isValid()) return 1;
    QString systemTypes;
    const QString dirs = qEnvironmentVariable("XDG_DATA_DIRS", "/usr/local/share:/usr/share");
    for (const QString& dir : dirs.split(':', Qt::SkipEmptyParts))
        if (systemTypes.isEmpty() && QFile::exists(dir + "/mime/packages/freedesktop.org.xml"))
            systemTypes = dir + "/mime/packages/freedesktop.org.xml";
    qputenv("XDG_DATA_DIRS", QFile::encodeName(data.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(data.filePath("home")));
    QCoreApplication app(argc, argv);
    TestDesktop test(data.path(), systemTypes);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_desktop.moc"
