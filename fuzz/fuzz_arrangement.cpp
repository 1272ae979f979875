// Feeds arbitrary bytes to the plan reader. Whatever it accepts must survive being written and
// read back; a second read that fails means the writer produced something the reader refuses.
#include "arrangement/ProgramArrangement.h"

#include <QByteArray>
#include <QGuiApplication>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    // Fonts need a GUI application; no display is involved.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QGuiApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    QString error;
    const ProgramArrangement plan = arrangementFromJson(bytes, &error);
    if (!error.isEmpty())
        return 0;
    const QByteArray written = arrangementToJson(plan);
    const ProgramArrangement again = arrangementFromJson(written, &error);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "written plan refused: %s\n%s\n", qPrintable(error),
                     written.constData());
        std::abort();
    }
    // Reading normalises; a normalised plan must come back unchanged.
    if (arrangementToJson(again) != written) {
        std::fprintf(stderr, "plan changed on the second pass:\n%s\n", written.constData());
        std::abort();
    }
    return 0;
}
