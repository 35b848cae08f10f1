#include "ByteVolume.h"
#include "FileIo.h"
#include "TestVolumes.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string Std(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray RawFile(const ByteVolume& volume)
{
    QByteArray bytes(12, '\0');
    qToLittleEndian(volume.SizeX, bytes.data());
    qToLittleEndian(volume.SizeY, bytes.data() + 4);
    qToLittleEndian(volume.SizeZ, bytes.data() + 8);
    return bytes +
           QByteArray(reinterpret_cast<const char*>(volume.Data), qsizetype(volume.VoxelCount()));
}

QStringList Names(const QString& folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

/** Every entry of a folder with its type, inode and device number, as lstat sees them. */
QStringList Entries(const QString& folder)
{
    QStringList entries;
    for (const QString& name : Names(folder)) {
        struct stat st = {};
        if (::lstat(QFile::encodeName(QDir(folder).filePath(name)).constData(), &st) != 0)
            return {"lstat failed on " + name};
        entries << QString("%1 %2 %3 %4")
                       .arg(name)
                       .arg(st.st_mode & S_IFMT, 0, 8)
                       .arg(st.st_ino)
                       .arg(st.st_rdev);
    }
    return entries;
}

} // namespace

class TestFileIo : public QObject
{
    Q_OBJECT

private slots:
    void saveRefusesNonRegularTargets_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("fifo") << "fifo"
                              << "it is a FIFO, not a regular file";
        QTest::newRow("link to fifo") << "link to fifo"
                                      << "it is a FIFO, not a regular file";
        QTest::newRow("socket") << "socket"
                                << "it is a socket, not a regular file";
        QTest::newRow("device node") << "device"
                                     << "it is a device, not a regular file";
        QTest::newRow("/dev/null") << "/dev/null"
                                   << "it is a device, not a regular file";
    }

    void saveRefusesNonRegularTargets()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        QTemporaryDir folder;
        QString target = folder.filePath("target");
        const QByteArray path = QFile::encodeName(target);
        int socketFd = -1;
        const auto closeSocket = qScopeGuard([&] {
            if (socketFd >= 0) ::close(socketFd);
        });
        if (kind == "fifo") {
            QCOMPARE(::mkfifo(path.constData(), 0600), 0);
        } else if (kind == "link to fifo") {
            QCOMPARE(::mkfifo(QFile::encodeName(folder.filePath("pipe")).constData(), 0600), 0);
            QCOMPARE(::symlink("pipe", path.constData()), 0);
        } else if (kind == "socket") {
            socketFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            QVERIFY(socketFd >= 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            QVERIFY(size_t(path.size()) < sizeof address.sun_path);
            std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
            QCOMPARE(::bind(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        } else if (kind == "device") {
            // The same device as /dev/null, but a node the test may lose without harm.
            if (::mknod(path.constData(), S_IFCHR | 0600, makedev(1, 3)) != 0)
                QSKIP("device nodes cannot be made here");
        } else {
            // Where the test may write to /dev, a regression would replace /dev/null itself.
            if (::access("/dev", W_OK) == 0)
                QSKIP("/dev is writable: the device node row covers it");
            target = "/dev/null";
        }
        // In /dev only the target's own entries are compared, the rest is not the test's.
        const QString parent = QFileInfo(target).absolutePath();
        const auto entries = [&] {
            const QStringList all = Entries(parent);
            return kind == "/dev/null" ? all.filter(QRegularExpression("^null[ .]")) : all;
        };
        const QStringList before = entries();
        QVERIFY(!before.isEmpty());

        ByteVolume volume;
        FillRandom(volume, 5, 4, 3, 21);
        std::string message;
        QCOMPARE(volume.SaveRaw(Std(target), &message), 1);
        QCOMPARE(QString::fromStdString(message), reason);
        // Same names, types, inodes and device numbers: nothing was replaced or left behind.
        QCOMPARE(entries(), before);
    }

    // The target is checked again before the rename: it may have become a FIFO while
    // the data was written.
    void commitRefusesTargetReplacedMeanwhile()
    {
        QTemporaryDir folder;
        const QString target = folder.filePath("target");
        WriteAll(target, "old");
        FileIo::AtomicWriter writer;
        std::string message;
        QVERIFY2(writer.Begin(Std(target), message), message.c_str());
        QCOMPARE(::unlink(QFile::encodeName(target).constData()), 0);
        QCOMPARE(::mkfifo(QFile::encodeName(target).constData(), 0600), 0);
        const QStringList before = Entries(folder.path());
        QVERIFY2(writer.Write("new", 3, message), message.c_str());
        QVERIFY(!writer.Commit(message));
        QCOMPARE(QString::fromStdString(message), "it is a FIFO, not a regular file");
        const QStringList after = Entries(folder.path());
        QCOMPARE(after.filter("target "), before.filter("target ")); // the same FIFO
        QCOMPARE(after.size(), 1); // and the temporary file is gone
    }

    void saveThroughLinks_data()
    {
        QTest::addColumn<QString>("pointsTo");
        QTest::addColumn<bool>("pointeeExists");
        QTest::newRow("link to a file") << "data.raw" << true;
        QTest::newRow("dangling link") << "absent.raw" << false;
    }

    // A link to a file has the file replaced and stays a link; a dangling link is
    // itself replaced by the new file.
    void saveThroughLinks()
    {
        QFETCH(QString, pointsTo);
        QFETCH(bool, pointeeExists);
        QTemporaryDir folder;
        const QString link = folder.filePath("target");
        const QString pointee = folder.filePath(pointsTo);
        if (pointeeExists) WriteAll(pointee, QByteArray(3000, char(0x5A)));
        QCOMPARE(
            ::symlink(QFile::encodeName(pointsTo).constData(), QFile::encodeName(link).constData()),
            0);
        ByteVolume volume;
        FillRandom(volume, 7, 6, 5, 22);
        std::string message;
        QCOMPARE(volume.SaveRaw(Std(link), &message), 0);
        QVERIFY2(message.empty(), message.c_str());
        QCOMPARE(QFileInfo(link).isSymLink(), pointeeExists);
        QCOMPARE(ReadAll(link), RawFile(volume));
        QCOMPARE(QFileInfo::exists(pointee), pointeeExists);
        const QStringList expected =
            pointeeExists ? QStringList{pointsTo, "target"} : QStringList{"target"};
        QCOMPARE(Names(folder.path()), expected);
    }

    // A save over the file size limit fails with EFBIG instead of the process dying of
    // SIGXFSZ. The save runs in a child with the signal's default action, so that a
    // regression kills only the child.
    void saveBeyondFileSizeLimit()
    {
        QTemporaryDir folder;
        const QString target = folder.filePath("target.raw");
        const QByteArray old = "old bytes of the target";
        WriteAll(target, old);
        const QStringList before = Entries(folder.path());
        ByteVolume volume;
        FillRandom(volume, 64, 64, 4, 23); // 16 KiB, four times the limit below
        const std::string name = Std(target);

        int result[2];
        QCOMPARE(::pipe(result), 0);
        const pid_t child = ::fork();
        if (child < 0) {
            ::close(result[0]);
            ::close(result[1]);
            QFAIL("fork failed");
        }
        if (child == 0) {
            // Only the save and raw system calls here; the child never returns to QtTest.
            ::close(result[0]);
            ::signal(SIGXFSZ, SIG_DFL);
            rlimit limit{};
            ::getrlimit(RLIMIT_FSIZE, &limit);
            limit.rlim_cur = 4096;
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(3);
            std::string message;
            const int32_t code = volume.SaveRaw(name, &message);
            if (::write(result[1], &code, sizeof code) != sizeof code) ::_exit(4);
            if (::write(result[1], message.data(), message.size()) != ssize_t(message.size()))
                ::_exit(5);
            ::_exit(0);
        }
        ::close(result[1]);
        QByteArray reply;
        char buffer[256];
        for (ssize_t n; (n = ::read(result[0], buffer, sizeof buffer)) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            reply.append(buffer, n);
        }
        ::close(result[0]);
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        QVERIFY2(!WIFSIGNALED(status),
                 qPrintable(QString("the child died of signal %1").arg(WTERMSIG(status))));
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0); // 3: no limit could be set, 4 and 5: no reply
        QVERIFY(reply.size() >= qsizetype(sizeof(int32_t)));
        int32_t code = -1;
        std::memcpy(&code, reply.constData(), sizeof code);
        QCOMPARE(code, 1);
        QCOMPARE(reply.mid(sizeof code), QByteArray("cannot write: ") + std::strerror(EFBIG));
        QCOMPARE(ReadAll(target), old);
        QCOMPARE(Entries(folder.path()), before); // no temporary file is left
    }
};

QTEST_GUILESS_MAIN(TestFileIo)
#include "tst_fileio.moc"
