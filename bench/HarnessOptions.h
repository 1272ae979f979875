#pragma once

// The harness's command line.

#include "output/StreamTarget.h"

#include <QSize>
#include <QString>
#include <QStringList>

#include <vector>

struct HarnessOptions {
    int seconds = 60;
    double fps = 30.0;
    QSize size{1920, 1080};
    QStringList inputs;
    int base = 1;
    QString text;
    QString image;
    QString pip;
    QString file;
    std::vector<StreamTarget> streams;
    QString rssCsv;
    double rssIntervalS = 1.0;
    QString latencyCsv;

    // False, after saying why on standard error, when an option is missing or wrong. --help
    // prints the usage and ends the process.
    bool parse(const QStringList &arguments);
};
