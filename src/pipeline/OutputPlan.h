#pragma once
#include <QString>
#include <vector>
struct OutputSettings {
    bool fileEnabled = false;
    QString filePath;
    struct StreamRow { bool enabled = false; QString url; QString protocol; };
    std::vector<StreamRow> rows;
    int width = 0, height = 0;
};
