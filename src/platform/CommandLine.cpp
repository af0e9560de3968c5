#include "platform/CommandLine.h"

#include "platform/LogRecord.h"
#include "platform/SettingsPath.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QStringList>
#include <cstdio>
#include <string_view>

namespace dravane::platform {

namespace {

// The usual command lines (nothing, --config FILE, --verbose), read without
// the parser: a service starts by them, and building the parser costs as
// much as the rest of its start. False for anything else, which the parser
// then reads, answers and reports.
bool ParsePlain(int argc, char** argv, TCommandLine& Options) {
    TCommandLine found;
    for (int k = 1; k < argc; ++k) {
        const std::string_view arg(argv[k]);
        if (arg == "-v" || arg == "--verbose") {
            found.Verbose = true;
        } else if (arg.starts_with("--config=") && arg.size() > 9) {
            found.ConfigFile = arg.substr(9);
        } else if (arg == "--config" && k + 1 < argc && argv[k + 1][0] != '\0' && argv[k + 1][0] != '-') {
            found.ConfigFile = argv[++k];
        } else {
            return false;
        }
    }
    Options = found;
    return true;
}

} // namespace

std::optional<int> ParseCommandLine(int argc, char** argv, const std::string& Description,
                                    TCommandLine& Options) {
    if (ParsePlain(argc, argv, Options))
        return std::nullopt;
    QStringList arguments;
    for (int k = 0; k < argc; ++k)
        arguments << QString::fromLocal8Bit(argv[k]);
    const QString program = QFileInfo(arguments.value(0, QStringLiteral("dravane"))).fileName();

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromStdString(Description));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Show the version and exit."));
    const QCommandLineOption config(QStringLiteral("config"),
                                    QStringLiteral("Use FILE as the settings file (as DRAVANE_CONFIG does)."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption verbose({QStringLiteral("v"), QStringLiteral("verbose")},
                                     QStringLiteral("Log every command and link test too."));
    parser.addOptions({help, version, config, verbose});

    const auto fail = [&](const QString& why) {
        std::fprintf(stderr, "%s: %s (try --help)\n", qPrintable(program), qPrintable(why));
        return 2;
    };
    if (!parser.parse(arguments))
        return fail(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().front()));
    if (parser.isSet(help)) {
        // helpText names the program by the application object, which does not exist yet.
        QString text = parser.helpText();
        text.replace(QRegularExpression(QStringLiteral("^Usage: \\S*")), QStringLiteral("Usage: ") + program);
        std::fputs(qPrintable(text), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("%s %s\n", qPrintable(program), DRAVANE_VERSION);
        return 0;
    }
    if (parser.isSet(config)) {
        Options.ConfigFile = parser.value(config).toStdString();
        if (Options.ConfigFile.empty())
            return fail(QStringLiteral("--config needs a file name"));
    }
    Options.Verbose = parser.isSet(verbose);
    return std::nullopt;
}

std::string ProgramVersion() {
    return DRAVANE_VERSION;
}

void ApplyCommandLine(const TCommandLine& Options) {
    SetLogPattern();
    if (!Options.ConfigFile.empty())
        SetSettingsFileName(
            QFileInfo(QString::fromStdString(Options.ConfigFile)).absoluteFilePath().toStdString());
    if (Options.Verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("dravane.*.debug=true"));
}

} // namespace dravane::platform
