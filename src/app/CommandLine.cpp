#include "app/CommandLine.h"

#include "core/StreamAddressMask.h"

#include <QCommandLineParser>
#include <QRegularExpression>

#include <cmath>
#include <memory>

namespace {

// Qt's own window options (the application object reads them) and whether they take a value.
// They are accepted for the window only.
constexpr struct {
    const char *name;
    bool takesValue;
} kQtWindowOptions[] = {
    {"platform", true},
    {"platformpluginpath", true},
    {"platformtheme", true},
    {"plugin", true},
    {"qwindowgeometry", true},
    {"qwindowicon", true},
    {"qwindowtitle", true},
    {"style", true},
    {"stylesheet", true},
    {"session", true},
    {"display", true},
    {"geometry", true},
    {"name", true},
    {"title", true},
    {"visual", true},
    {"reverse", false},
    {"widgetcount", false},
    {"nograb", false},
    {"dograb", false},
    {"sync", false},
};

struct Options {
    QCommandLineOption help{{"h", "help"}, "Show this help and exit."};
    QCommandLineOption version{{"v", "version"}, "Show the version and exit."};
    QCommandLineOption play{"play",
                            "Play the schedule FILE with no window, recording and/or streaming "
                            "the program, and exit when it ends.",
                            "FILE"};
    QCommandLineOption record{"record",
                              "With --play: record the program to exactly FILE (\".mp4\" is "
                              "added to a name without suffix; an existing file is replaced).",
                              "FILE"};
    QCommandLineOption stream{"stream",
                              "With --play: send the program to URL (rtmp://, rtmps://, udp://, "
                              "http://, https://). Up to 6 times.",
                              "URL"};
    QCommandLineOption duration{"duration",
                                "With --play: stop after S seconds instead of at the end of the "
                                "plan's last clip.",
                                "S"};
    QCommandLineOption size{"size",
                            "With --play: output size, e.g. 1280x720 (even numbers from 16 to "
                            "7680); default: the program's size.",
                            "WxH"};
    std::vector<QCommandLineOption> qt;

    explicit Options(QCommandLineParser &parser) {
        parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        parser.setApplicationDescription(QStringLiteral("Quorvi Pro, a live video mixer."));
        for (QCommandLineOption *o : {&help, &version, &play, &record, &stream, &duration, &size})
            parser.addOption(*o);
        for (const auto &q : kQtWindowOptions) {
            QCommandLineOption o(QString::fromLatin1(q.name));
            if (q.takesValue)
                o.setValueName(QStringLiteral("value"));
            o.setFlags(QCommandLineOption::HiddenFromHelp);
            qt.push_back(o);
            parser.addOption(o);
        }
    }
};

CommandLine usageError(const QString &error) {
    CommandLine c;
    c.mode = CommandLine::Mode::UsageError;
    c.error = error;
    return c;
}

} // namespace

CommandLine CommandLine::parse(const QStringList &arguments) {
    QCommandLineParser parser;
    const Options o(parser);
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    CommandLine c;
    if (parser.isSet(o.help)) {
        c.mode = Mode::Help;
        return c;
    }
    if (parser.isSet(o.version)) {
        c.mode = Mode::Version;
        return c;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("Unexpected argument '%1'.")
                              .arg(parser.positionalArguments().constFirst()));
    for (const QCommandLineOption *once : {&o.play, &o.record, &o.duration, &o.size})
        if (parser.values(*once).size() > 1)
            return usageError(
                QStringLiteral("--%1 given more than once.").arg(once->names().last()));

    if (!parser.isSet(o.play)) {
        for (const QCommandLineOption *playOnly : {&o.record, &o.stream, &o.duration, &o.size})
            if (parser.isSet(*playOnly))
                return usageError(
                    QStringLiteral("--%1 needs --play.").arg(playOnly->names().last()));
        return c;
    }

    for (const QCommandLineOption &qt : o.qt)
        if (parser.isSet(qt))
            return usageError(QStringLiteral("-%1 is a window option; --play has no window.")
                                  .arg(qt.names().first()));
    PlayoutOptions &p = c.playout;
    p.schedulePath = parser.value(o.play);
    p.recordPath = parser.value(o.record);
    p.streamUrls = parser.values(o.stream);
    if (p.schedulePath.trimmed().isEmpty())
        return usageError(QStringLiteral("--play needs a schedule file."));
    if (parser.isSet(o.record) && p.recordPath.trimmed().isEmpty())
        return usageError(QStringLiteral("--record needs a file name."));
    if (p.recordPath.isEmpty() && p.streamUrls.isEmpty())
        return usageError(QStringLiteral("--play needs --record FILE or --stream URL."));
    if (p.streamUrls.size() > kMaxStreams)
        return usageError(QStringLiteral("At most %1 --stream addresses.").arg(kMaxStreams));
    for (const QString &url : p.streamUrls)
        if (ArrangementPlayout::streamProtocol(url).isEmpty())
            return usageError(QStringLiteral("Unsupported stream address '%1': use rtmp://, "
                                             "rtmps://, udp://, http:// or https://.")
                                  .arg(StreamAddressMask::mask(url)));
    if (parser.isSet(o.duration)) {
        bool ok = false;
        const double seconds = parser.value(o.duration).toDouble(&ok);
        // Beyond a year a timer cannot be set, and nobody means it.
        if (!ok || !std::isfinite(seconds) || seconds <= 0 || seconds > 366.0 * 24 * 3600)
            return usageError(QStringLiteral("Bad --duration '%1': give seconds, e.g. 90 or 2.5.")
                                  .arg(parser.value(o.duration)));
        p.durationMs = std::max<int64_t>(1, std::llround(seconds * 1000));
    }
    if (parser.isSet(o.size)) {
        static const QRegularExpression form(QStringLiteral("^(\\d{1,5})x(\\d{1,5})$"));
        const QRegularExpressionMatch m = form.match(parser.value(o.size));
        const int w = m.hasMatch() ? m.captured(1).toInt() : 0;
        const int h = m.hasMatch() ? m.captured(2).toInt() : 0;
        // The encoders take even sizes only.
        const auto fits = [](int v) { return v >= 16 && v <= 7680 && v % 2 == 0; };
        if (!fits(w) || !fits(h))
            return usageError(
                QStringLiteral("Bad --size '%1': give WxH in even numbers from 16 to 7680, e.g. "
                               "1280x720.")
                    .arg(parser.value(o.size)));
        p.width = w;
        p.height = h;
    }
    c.mode = Mode::Play;
    return c;
}

QString CommandLine::helpText() {
    QCommandLineParser parser;
    const Options o(parser);
    QString options = parser.helpText();
    // The parser's own first line names the executable by its full path.
    options = options.mid(options.indexOf(QLatin1Char('\n')) + 1);
    return QStringLiteral("Usage: quorvi [options]\n"
                          "       quorvi --play FILE [--record FILE] [--stream URL]... "
                          "[--duration S] [--size WxH]\n") +
           options +
           QStringLiteral(
               "\nWithout --play the window opens (one per user). With --play one line per event\n"
               "goes to standard output; the exit code is 0 when the plan played and the outputs\n"
               "closed cleanly, 1 when the schedule could not be read or an output failed, and 2\n"
               "for a usage error.\n");
}

QString CommandLine::versionText() {
    return QStringLiteral("Quorvi Pro " QUORVI_VERSION "\n");
}
