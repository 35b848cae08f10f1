#pragma once

// The table mode run in the test's own process, on temporary files for its streams.

#include "FigureTable.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QStringList>

#include <cstdio>
#include <string>
#include <vector>

/** A run of the table mode in this process: what it wrote and its status. */
struct TableRun
{
    int status = -1;
    QByteArray out, err;
    double seconds = 0;
};

inline QByteArray ReadAll(std::FILE* file)
{
    std::rewind(file);
    QByteArray data;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        data.append(buffer, qsizetype(n));
    std::fclose(file);
    return data;
}

inline TableRun RunTable(const QStringList& args, const QByteArray& input = {},
                         bool progress = false)
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
