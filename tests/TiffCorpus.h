#pragma once

// The TIFF files the TIFF tests read, written at test time by tifffile and tiffcp
// (tests/make_stacks.py): files that the format's own tools made.

#include <QByteArray>
#include <QProcess>
#include <QStandardPaths>
#include <QString>

/** Why the corpus cannot be made on this machine (tifffile or tiffcp missing), or empty. */
inline QString TiffToolsMissing()
{
    if (QProcess::execute("/usr/bin/python3", {"-c", "import tifffile, numpy"}) != 0)
        return "/usr/bin/python3 cannot import tifffile and numpy";
    if (QStandardPaths::findExecutable("tiffcp").isEmpty()) return "tiffcp is missing";
    return {};
}

/** Writes the corpus into `folder`; false with the script's error output. */
inline bool MakeTiffCorpus(const QString& folder, QByteArray& error)
{
    QProcess make;
    make.start("/usr/bin/python3", {VOLINSPECT_MAKE_STACKS, folder, VOLINSPECT_TESTDATA});
    if (!make.waitForFinished(120000)) {
        error = "make_stacks.py did not finish";
        return false;
    }
    error = make.readAllStandardError();
    return make.exitStatus() == QProcess::NormalExit && make.exitCode() == 0;
}
