#include "app/commandline.h"

#include "app/systemconfig.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

namespace {

const QString kProgram = QStringLiteral("hoop-updater");

const QString kExitStatus =
    QStringLiteral("Exit status with --cli:\n"
                   "  0         the hoop was updated (--repeat: every hoop was)\n"
                   "  1         another failure: the bundled tool can't be started, the image\n"
                   "            can't be stored (--repeat: a hoop was not updated)\n"
                   "  2         the firmware list could not be fetched or was not trusted\n"
                   "  3         the image was refused: its digest, or an image the hoop can't\n"
                   "            take, from the list or from disk\n"
                   "  4         the request could not be written to the hoop's volume\n"
                   "  5         no hoop appeared within --timeout (--repeat: before any came)\n"
                   "  10 to 40  erasing, writing, resetting or starting the hoop failed\n"
                   "  64        bad arguments\n"
                   "  130       interrupted\n");

// The parser with every option of both modes.
struct Parser
{
    QCommandLineParser parser;
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")},
                            QStringLiteral("Displays this help.")};
    QCommandLineOption version{{QStringLiteral("v"), QStringLiteral("version")},
                               QStringLiteral("Displays the version.")};
    QCommandLineOption cli{QStringLiteral("cli"),
                           QStringLiteral("Updates the hoop from the terminal, without a window.")};
    QCommandLineOption list{QStringLiteral("list"),
                            QStringLiteral("With --cli: prints the firmware list, newest last, "
                                           "and exits.")};
    QCommandLineOption firmware{QStringLiteral("firmware"),
                                QStringLiteral("With --cli: installs this entry of the list "
                                               "(a name --list prints) instead of the newest."),
                                QStringLiteral("NAME")};
    QCommandLineOption timeout{QStringLiteral("timeout"),
                               QStringLiteral("With --cli: gives up when the hoop has not "
                                              "appeared within SECONDS (each wait)."),
                               QStringLiteral("SECONDS")};
    QCommandLineOption server{QStringLiteral("server"),
                              QStringLiteral("Fetches the firmware from the update server at URL "
                                             "for this run; a signature is still required when "
                                             "keys are known."),
                              QStringLiteral("URL")};
    QCommandLineOption repeat{QStringLiteral("repeat"),
                              QStringLiteral("With --cli: updates hoop after hoop with one image, "
                                             "until interrupted.")};
    QCommandLineOption parallel{QStringLiteral("parallel"),
                                QStringLiteral("With --repeat: updates every hoop plugged in at "
                                               "once, each known by its USB port.")};
    QCommandLineOption log{QStringLiteral("log"),
                           QStringLiteral("With --parallel: appends one JSON line per hoop to "
                                          "FILE."),
                           QStringLiteral("FILE")};

    Parser()
    {
        parser.setApplicationDescription(
            QStringLiteral("Installs new firmware on the Vexlume Hoop. Without --cli it opens "
                           "the window."));
        parser.addOptions(
            {help, version, cli, list, firmware, timeout, repeat, parallel, log, server});
        parser.addPositionalArgument(QStringLiteral("FILE.hex"),
                                     QStringLiteral("A firmware file from disk to install "
                                                    "instead of an entry of the list."),
                                     QStringLiteral("[FILE.hex]"));
    }
};

CommandLine failed(const QString &error)
{
    CommandLine line;
    line.action = CommandLine::Action::Error;
    line.error = error;
    return line;
}

} // namespace

CommandLine parseCommandLine(const QStringList &arguments)
{
    Parser p;
    if (!p.parser.parse(arguments))
        return failed(p.parser.errorText());
    CommandLine line;
    if (p.parser.isSet(p.help)) {
        line.action = CommandLine::Action::Help;
        return line;
    }
    if (p.parser.isSet(p.server)) {
        QString problem;
        line.serverUrl = serverBaseUrl(p.parser.value(p.server), &problem);
        if (line.serverUrl.isNull())
            return failed(QStringLiteral("--server needs the base address of an update server: ") +
                          problem + QLatin1Char('.'));
    }
    if (p.parser.isSet(p.version)) {
        line.action = CommandLine::Action::Version;
        return line;
    }
    const QStringList files = p.parser.positionalArguments();
    if (files.size() > 1)
        return failed(QStringLiteral("Only one firmware file can be given."));
    line.firmwareFile = files.value(0);
    const bool cli = p.parser.isSet(p.cli);
    line.action = cli ? CommandLine::Action::Terminal : CommandLine::Action::Window;
    for (const QCommandLineOption *option :
         {&p.list, &p.firmware, &p.timeout, &p.repeat, &p.parallel, &p.log}) {
        if (!cli && p.parser.isSet(*option))
            return failed(QStringLiteral("--") + option->names().constLast() +
                          QStringLiteral(" needs --cli."));
    }
    line.list = p.parser.isSet(p.list);
    line.repeat = p.parser.isSet(p.repeat);
    line.parallel = p.parser.isSet(p.parallel);
    line.logFile = p.parser.value(p.log);
    if (line.parallel && !line.repeat)
        return failed(QStringLiteral("--parallel needs --repeat."));
    if (p.parser.isSet(p.log) && !line.parallel)
        return failed(QStringLiteral("--log needs --parallel."));
    if (p.parser.isSet(p.log) && line.logFile.isEmpty())
        return failed(QStringLiteral("--log needs the name of a file."));
    line.firmwareName = p.parser.value(p.firmware);
    if (p.parser.isSet(p.firmware) && line.firmwareName.isEmpty())
        return failed(QStringLiteral("--firmware needs the name of an entry of the list."));
    if (!line.firmwareName.isEmpty() && !line.firmwareFile.isEmpty())
        return failed(QStringLiteral("Give either --firmware or a firmware file, not both."));
    if (line.list && (line.repeat || !line.firmwareName.isEmpty() || !line.firmwareFile.isEmpty()))
        return failed(QStringLiteral("--list takes no other choice of firmware, nor --repeat."));
    if (p.parser.isSet(p.timeout)) {
        bool ok = false;
        const int seconds = p.parser.value(p.timeout).toInt(&ok);
        if (!ok || seconds <= 0)
            return failed(QStringLiteral("--timeout needs a whole number of seconds above 0, "
                                         "not \"") +
                          p.parser.value(p.timeout) + QStringLiteral("\"."));
        line.timeoutSeconds = seconds;
    }
    return line;
}

QString commandLineHelp()
{
    Parser p;
    // Without an application object the parser can't know the program's name.
    return p.parser.helpText().replace(QStringLiteral("<executable_name>"), kProgram) +
           QStringLiteral("\n") + kExitStatus;
}

QString commandLineUsage()
{
    return QStringLiteral("Usage: ") + kProgram +
           QStringLiteral(
               " [--cli [--list | --firmware NAME | FILE.hex] [--timeout SECONDS] "
               "[--repeat [--parallel [--log FILE]]]] [--server URL] [FILE.hex]\nTry '") +
           kProgram + QStringLiteral(" --help' for more.\n");
}
