#include "clioptions.h"

#include "adding/addressrange.h"
#include "adding/rangeprobe.h"
#include "app/updatersettings.h"
#include "units/devicecatalogue.h"
#include "units/marluneunit.h"

#include <QRegularExpression>

namespace {

// A deadline longer than a day is a typing error, not a plan.
constexpr int kLongestDeadlineSecs = 24 * 60 * 60;
constexpr int kLongestWaitSecs = 60 * 60;

QString normalMac(const QString &text)
{
    QString mac = text.trimmed().toUpper();
    mac.replace(QLatin1Char('-'), QLatin1Char(':'));
    return mac;
}

bool validMac(const QString &mac)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9A-F]{2}(:[0-9A-F]{2}){5}$"));
    return pattern.match(mac).hasMatch();
}

bool parseSeconds(const QString &text, int longest, int *seconds)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < 1 || value > longest)
        return false;
    *seconds = value;
    return true;
}

// The value of an option given as "--name value" or "--name=value"; moves past it.
bool takeValue(const QStringList &arguments, qsizetype *index, const QString &option, QString *value)
{
    const QString &argument = arguments.at(*index);
    if (argument.startsWith(option + QLatin1Char('='))) {
        *value = argument.mid(option.size() + 1);
        return true;
    }
    if (*index + 1 >= arguments.size())
        return false;
    *value = arguments.at(++*index);
    return true;
}

QRegularExpression globPattern(const QString &glob)
{
    return QRegularExpression(QRegularExpression::wildcardToRegularExpression(glob),
                              QRegularExpression::CaseInsensitiveOption);
}

bool globMatches(const QString &glob, const QString &name)
{
    return globPattern(glob).match(name).hasMatch();
}

// One selection option and its value; false with the error when the value is bad.
bool takeSelection(const QString &option, const QString &value, UnitSelection *selection, QString *error)
{
    if (option == QLatin1String("--mac")) {
        const QString mac = normalMac(value);
        if (!validMac(mac)) {
            *error = QStringLiteral("Not a MAC address: ") + value;
            return false;
        }
        selection->macs.append(mac);
    } else if (option == QLatin1String("--ip")) {
        std::pair<quint32, quint32> range;
        if (!parseAddressSelection(value, &range)) {
            *error = QStringLiteral("Not an address, range (A-B) or subnet (A/N): ") + value;
            return false;
        }
        selection->ranges.append(range);
    } else if (option == QLatin1String("--type")) {
        selection->types.append(value.trimmed().toUpper());
    } else {
        // A pattern that cannot be matched ("[" without its "]") would select nothing, and warn
        // at every unit.
        if (!globPattern(value).isValid()) {
            *error = QStringLiteral("Not a name pattern (* any text, ? one character, [...] one of a set): ") + value;
            return false;
        }
        selection->nameGlobs.append(value);
    }
    return true;
}

bool takeDeadline(const QString &option, const QString &value, StepDeadlines *deadlines, QString *error)
{
    int *target = option == QLatin1String("--fetch-deadline")    ? &deadlines->fetchSecs
                  : option == QLatin1String("--reboot-deadline") ? &deadlines->rebootSecs
                                                                 : &deadlines->returnSecs;
    if (!parseSeconds(value, kLongestDeadlineSecs, target)) {
        *error = option + QStringLiteral(" takes seconds, 1 to ") + QString::number(kLongestDeadlineSecs);
        return false;
    }
    return true;
}

// --probe: a range as --ip reads it, of addresses a unit can have (not 0.x.x.x, multicast or
// reserved: 224.0.0.0 and above, the broadcast among them), all ranges within kMaxProbeAddresses.
bool takeProbe(const QString &value, QList<std::pair<quint32, quint32>> *ranges, QString *error)
{
    std::pair<quint32, quint32> range;
    if (!parseAddressSelection(value, &range)) {
        *error = QStringLiteral("--probe takes an address, range (A-B) or subnet (A/N): ") + value;
        return false;
    }
    const quint64 count = RangeProbe::addressCount(*ranges) + RangeProbe::addressCount({range});
    if (count > kMaxProbeAddresses) {
        *error = QStringLiteral("--probe ranges may hold at most %1 addresses in all; with %2 they would hold %3")
                     .arg(kMaxProbeAddresses)
                     .arg(value.trimmed())
                     .arg(count);
        return false;
    }
    constexpr quint32 kFirstMulticast = 0xE0000000;
    constexpr quint32 kFirstHost = 0x01000000;
    if (range.first < kFirstHost || range.second >= kFirstMulticast) {
        *error = QStringLiteral("--probe takes units' addresses, not 0.x.x.x, multicast or reserved ones (224.0.0.0 "
                                "and above): ")
                 + value;
        return false;
    }
    ranges->append(range);
    return true;
}

bool takePlanNumber(const QString &option, const QString &value, RolloutPlan *plan, QString *error)
{
    int *target = option == QLatin1String("--canary")          ? &plan->canary
                  : option == QLatin1String("--max-in-flight") ? &plan->maxInFlight
                                                               : &plan->stopAfterFailures;
    bool ok = false;
    const int number = value.toInt(&ok);
    if (!ok || number < 0 || number > UpdaterSettings::kMaxPlanNumber) {
        *error = option + QStringLiteral(" takes a number, 0 to ") + QString::number(UpdaterSettings::kMaxPlanNumber);
        return false;
    }
    *target = number;
    return true;
}

// --since: a date ("2026-12-01", from its start in local time) or a time ("2026-12-01T08:00",
// local unless it carries its offset).
bool takeSince(const QString &value, QDateTime *since, QString *error)
{
    const QDate date = QDate::fromString(value, Qt::ISODate);
    *since = date.isValid() && value.size() == 10 ? date.startOfDay() : QDateTime::fromString(value, Qt::ISODate);
    if (since->isValid())
        return true;
    *error = QStringLiteral("--since takes a date or a time, e.g. 2026-12-01 or 2026-12-01T08:00");
    return false;
}

// Every option with its value, in any order after the command.
const QStringList &deadlineOptions()
{
    static const QStringList options{QStringLiteral("--fetch-deadline"), QStringLiteral("--reboot-deadline"),
                                     QStringLiteral("--back-deadline")};
    return options;
}

const QStringList &planOptions()
{
    static const QStringList options{QStringLiteral("--canary"), QStringLiteral("--max-in-flight"),
                                     QStringLiteral("--stop-after-failures")};
    return options;
}

// One option that takes a value, with its value; false with the error when the value is bad.
bool takeOptionValue(const QString &name, const QString &value, CliOptions *options, QString *error)
{
    // An empty value is no value: "--packages ''" would mean the program's own folder, "--type ''"
    // no unit at all.
    if (value.trimmed().isEmpty()) {
        *error = name + QStringLiteral(" needs a value; it was given an empty one");
        return false;
    }
    if (name == QLatin1String("--since"))
        return takeSince(value, &options->since, error);
    if (name == QLatin1String("--batch")) {
        bool ok = false;
        options->batchId = value.toLongLong(&ok);
        if (!ok || options->batchId < 1) {
            *error = QStringLiteral("--batch takes a batch number, as history lists it");
            return false;
        }
        return true;
    }
    if (name == QLatin1String("--unit")) {
        options->unitMac = normalMac(value);
        if (!validMac(options->unitMac)) {
            *error = QStringLiteral("--unit takes a MAC address, e.g. 00:1D:C1:0A:0B:0C");
            return false;
        }
    } else if (name == QLatin1String("--wait")) {
        if (!parseSeconds(value, kLongestWaitSecs, &options->waitSecs)) {
            *error = QStringLiteral("--wait takes seconds, 1 to ") + QString::number(kLongestWaitSecs);
            return false;
        }
    } else if (name == QLatin1String("--probe")) {
        return takeProbe(value, &options->probeRanges, error);
    } else if (name == QLatin1String("--report")) {
        options->reportPath = value;
    } else if (name == QLatin1String("--packages")) {
        options->packagesFolder = value;
    } else if (deadlineOptions().contains(name)) {
        return takeDeadline(name, value, &options->deadlines, error);
    } else if (planOptions().contains(name)) {
        return takePlanNumber(name, value, &options->plan, error);
    } else {
        return takeSelection(name, value, &options->selection, error);
    }
    return true;
}

// The update command's switches without a value: true when the argument was one of them.
bool takeUpdateSwitch(const QString &argument, CliOptions *options)
{
    bool *target = argument == QLatin1String("--yes")          ? &options->yes
                   : argument == QLatin1String("--resume")     ? &options->resume
                   : argument == QLatin1String("--reflash")    ? &options->reflash
                   : argument == QLatin1String("--force")      ? &options->force
                   : argument == QLatin1String("--reset-edid") ? &options->resetEdid
                                                               : nullptr;
    if (target)
        *target = true;
    else if (argument == QLatin1String("--no-history"))
        options->keepHistory = false;
    else
        return false;
    return true;
}

bool takeOptions(const QStringList &arguments, CliOptions *options, QString *error)
{
    const QStringList selectionOptions{QStringLiteral("--mac"), QStringLiteral("--ip"), QStringLiteral("--type"),
                                       QStringLiteral("--name")};
    // Options of the update command alone.
    const QStringList updateOptions =
        selectionOptions + deadlineOptions() + planOptions() + QStringList{QStringLiteral("--report")};
    const QStringList historyOptions{QStringLiteral("--since"), QStringLiteral("--unit"), QStringLiteral("--batch")};
    const bool update = options->command == CliOptions::Command::Update;
    const bool history = options->command == CliOptions::Command::History;
    // check takes update's selection and plan.
    const bool check = options->command == CliOptions::Command::Check;
    const QStringList checkOptions = selectionOptions + planOptions();
    const QStringList valueOptions = history ? historyOptions
                                             : QStringList{QStringLiteral("--wait"), QStringLiteral("--packages"), QStringLiteral("--probe")}
                                                   + updateOptions;
    bool formatGiven = false;
    // One output format: with two, the last would silently win.
    const auto takeFormat = [&](CliOptions::Format format) {
        if (formatGiven && options->format != format) {
            *error = QStringLiteral("Either --json or --csv, not both");
            return false;
        }
        formatGiven = true;
        options->format = format;
        return true;
    };
    bool progressGiven = false;
    const auto takeProgress = [&](CliOptions::Progress progress) {
        if (progressGiven && options->progress != progress) {
            *error = QStringLiteral("Either --quiet or --verbose, not both");
            return false;
        }
        progressGiven = true;
        options->progress = progress;
        return true;
    };
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString argument = arguments.at(i);
        const QString name = argument.section(QLatin1Char('='), 0, 0);
        if (argument == QLatin1String("--json")) {
            if (!takeFormat(CliOptions::Format::Json))
                return false;
        } else if (argument == QLatin1String("--csv") && !update && !check) {
            if (!takeFormat(CliOptions::Format::Csv))
                return false;
        } else if (argument == QLatin1String("--override-lock") && !history) {
            options->overrideLock = true;
        } else if (update && takeUpdateSwitch(argument, options)) {
        } else if (update && argument == QLatin1String("--quiet")) {
            if (!takeProgress(CliOptions::Progress::Quiet))
                return false;
        } else if (update && argument == QLatin1String("--verbose")) {
            if (!takeProgress(CliOptions::Progress::Verbose))
                return false;
        } else if ((update || check) && argument == QLatin1String("--all")) {
            options->selection.all = true;
        } else if ((update || check) && argument == QLatin1String("--needs-update")) {
            options->selection.needsUpdate = true;
        } else if (valueOptions.contains(name)
                   && (update || !updateOptions.contains(name) || (check && checkOptions.contains(name)))) {
            QString value;
            if (!takeValue(arguments, &i, name, &value)) {
                *error = name + QStringLiteral(" needs a value");
                return false;
            }
            if (!takeOptionValue(name, value, options, error))
                return false;
        } else {
            *error = QStringLiteral("Unknown option for ") + arguments.first() + QStringLiteral(": ") + argument;
            return false;
        }
    }
    return true;
}

} // namespace

bool UnitSelection::matches(const MarluneUnit &unit, bool updateAvailable) const
{
    if (needsUpdate && !updateAvailable)
        return false;
    if (!macs.isEmpty() && !macs.contains(normalMac(unit.mac)))
        return false;
    if (!ranges.isEmpty()) {
        quint32 address = 0;
        if (!parseDottedQuad(unit.ip, &address))
            return false;
        const auto inRange = [address](const std::pair<quint32, quint32> &range) {
            return address >= range.first && address <= range.second;
        };
        if (std::none_of(ranges.cbegin(), ranges.cend(), inRange))
            return false;
    }
    if (!types.isEmpty() && !types.contains(typeCodeForUnit(unit).toUpper())
        && !types.contains(unit.deviceType.toUpper()))
        return false;
    if (!nameGlobs.isEmpty()) {
        const auto nameMatches = [&unit](const QString &glob) { return globMatches(glob, unit.name); };
        if (std::none_of(nameGlobs.cbegin(), nameGlobs.cend(), nameMatches))
            return false;
    }
    return true;
}

bool parseAddressSelection(const QString &text, std::pair<quint32, quint32> *range)
{
    const QString trimmed = text.trimmed();
    const qsizetype slash = trimmed.indexOf(QLatin1Char('/'));
    if (slash >= 0) {
        quint32 base = 0;
        bool ok = false;
        const int bits = trimmed.mid(slash + 1).toInt(&ok);
        if (!ok || bits < 0 || bits > 32 || !parseDottedQuad(trimmed.left(slash), &base))
            return false;
        const quint32 mask = bits == 0 ? 0 : ~quint32(0) << (32 - bits);
        *range = {base & mask, (base & mask) | ~mask};
        return true;
    }
    const qsizetype dash = trimmed.indexOf(QLatin1Char('-'));
    // A range's end may not be left out: "10.0.0.1-" is a range cut short, not one address.
    if (dash >= 0 && trimmed.mid(dash + 1).trimmed().isEmpty())
        return false;
    const AddressRange parsed = dash >= 0 ? parseAddressRange(trimmed.left(dash).trimmed(), trimmed.mid(dash + 1).trimmed())
                                          : parseAddressRange(trimmed, QString());
    if (parsed.problem != AddressRange::None)
        return false;
    *range = {parsed.start, parsed.end};
    return true;
}

bool parseCliArguments(const QStringList &arguments, CliOptions *options, QString *error)
{
    *options = CliOptions();
    if (arguments.isEmpty() || arguments.first() == QLatin1String("--help")
        || arguments.first() == QLatin1String("-h") || arguments.first() == QLatin1String("help")) {
        options->command = CliOptions::Command::Help;
        return true;
    }
    if (arguments.first() == QLatin1String("--version")) {
        if (arguments.size() > 1) {
            *error = QStringLiteral("--version takes no options: ") + arguments.at(1);
            return false;
        }
        options->command = CliOptions::Command::Version;
        return true;
    }
    if (arguments.first() == QLatin1String("list")) {
        options->command = CliOptions::Command::List;
    } else if (arguments.first() == QLatin1String("update")) {
        options->command = CliOptions::Command::Update;
    } else if (arguments.first() == QLatin1String("history")) {
        options->command = CliOptions::Command::History;
    } else if (arguments.first() == QLatin1String("check")) {
        options->command = CliOptions::Command::Check;
        // A check leaves the history alone: opening it would end the batches it finds unended.
        options->keepHistory = false;
    } else {
        *error = QStringLiteral("Unknown command: ") + arguments.first();
        return false;
    }
    if (arguments.contains(QStringLiteral("--help")) || arguments.contains(QStringLiteral("-h"))) {
        options->command = CliOptions::Command::Help;
        return true;
    }
    if (!takeOptions(arguments, options, error))
        return false;
    if (options->resume && (!options->selection.isEmpty() || !options->plan.isDefault() || options->reflash
                            || !options->keepHistory)) {
        *error = QStringLiteral("--resume takes the last batch's units and plan: no selection, --canary, "
                                "--max-in-flight, --stop-after-failures, --reflash or --no-history with it");
        return false;
    }
    if ((options->command == CliOptions::Command::Update || options->command == CliOptions::Command::Check)
        && options->selection.isEmpty() && !options->resume) {
        *error = arguments.first()
                 + QStringLiteral(" needs a selection: --all, --needs-update, --mac, --ip, --type or --name");
        return false;
    }
    return true;
}

QString cliUsage()
{
    return QStringLiteral("Usage:\n"
                          "  bryx-updater-cli list [--wait SECONDS] [--json|--csv] [--packages DIR] [--probe RANGE]\n"
                          "  bryx-updater-cli update SELECTION [--yes] [--reflash] [--reset-edid] [--report FILE]\n"
                          "                          [--json] [--quiet|--verbose] [--wait SECONDS] [--packages DIR]\n"
                          "                          [--fetch-deadline S] [--reboot-deadline S] [--back-deadline S]\n"
                          "                          [--canary N] [--max-in-flight N] [--stop-after-failures K]\n"
                          "                          [--no-history] [--force] [--probe RANGE]\n"
                          "  bryx-updater-cli check SELECTION [--json] [--wait SECONDS] [--packages DIR]\n"
                          "                          [--canary N] [--max-in-flight N] [--probe RANGE]\n"
                          "  bryx-updater-cli update --resume [--yes] [--reset-edid] [--report FILE] [--json]\n"
                          "                          [--quiet|--verbose] [--wait SECONDS] [--packages DIR]\n"
                          "  bryx-updater-cli history [--since DATE] [--batch N] [--unit MAC] [--json|--csv]\n"
                          "\n"
                          "Finds the units on this network, compares them with the update packages (*.bin, *.ver)\n"
                          "beside the program or in --packages DIR, and updates the selected units. Each batch, its\n"
                          "units and their steps are kept in the history, which the history command shows.\n"
                          "\n"
                          "Selection (combinable; a unit must pass every kind given, any value of each):\n"
                          "  --all                every listed unit\n"
                          "  --needs-update       units whose package offers an update they may take\n"
                          "  --mac MAC            a unit by MAC address (repeatable)\n"
                          "  --ip ADDRESS         an address, a range A-B or a subnet A/N (repeatable)\n"
                          "  --type TYPE          a type: ENC, DEC, WP, WPC, ATR, DVR, VOD, ... (repeatable)\n"
                          "  --name GLOB          a name pattern, *, ? and [...] (repeatable)\n"
                          "\n"
                          "Options:\n"
                          "  --yes                update; without it, list what would be updated (on stdout) and exit\n"
                          "  --resume             pick up the last batch, cut short (closed, interrupted, stopped):\n"
                          "                       its units not confirmed, with its plan; a unit commanded there\n"
                          "                       is waited for, not commanded again (\"No batch to resume.\": 0)\n"
                          "  --reflash            update units that are already up to date too (skipped without it)\n"
                          "  --force              update units the check before the update fails too (refused\n"
                          "                       without it)\n"
                          "  --reset-edid         reset the EDID of updated encoders\n"
                          "  --report FILE        write the update report (CSV) when the batch is over\n"
                          "  --json               JSON Lines on stdout, one object per event, the summary last\n"
                          "  --quiet              (update) on stderr the summary alone, no line per unit\n"
                          "  --verbose            (update) on stderr a line per step of each unit, not per unit\n"
                          "  --csv                (list, history) CSV on stdout\n"
                          "  --wait SECONDS       discovery time before selecting (default 10, at least 6); list\n"
                          "                       returns once no new unit has answered for 1.5 s, at most this\n"
                          "  --packages DIR       the folder of the update packages\n"
                          "  --probe RANGE        also ask each address of RANGE (an address, A-B or A/N; repeatable;\n"
                          "                       65536 addresses in all at most) for units the broadcast misses,\n"
                          "                       as on another subnet; the wait lasts until all were asked\n"
                          "  --fetch-deadline S   a commanded unit is overdue without a fetch after S seconds (180)\n"
                          "  --reboot-deadline S  ... without a reboot after its fetch (600)\n"
                          "  --back-deadline S    ... when not back after its reboot (600)\n"
                          "  --canary N           update the first N selected units alone; the rest wait until\n"
                          "                       each is confirmed, and the batch halts if one fails\n"
                          "  --max-in-flight N    at most N units between their command and confirmation at once\n"
                          "  --stop-after-failures K  halt the batch once K units failed (overdue, not applied,\n"
                          "                       EDID reset given up) while units wait: those are held\n"
                          "  --no-history         keep no history of this batch\n"
                          "  --override-lock      run although the lock file of another instance is there\n"
                          "\n"
                          "Check (before anything is sent: a line per unit, ok, warn or fail and why, the summary\n"
                          "last; update runs the same check and refuses the units it fails):\n"
                          "  SELECTION, --canary, --max-in-flight, --json, --wait, --packages as for update\n"
                          "\n"
                          "History (newest batch first, a line each; --json or the update report's CSV with --csv):\n"
                          "  --since DATE         batches begun on or after DATE (2026-12-01 or 2026-12-01T08:00)\n"
                          "  --batch N            that batch alone, with each of its units\n"
                          "  --unit MAC           the runs of this unit alone, with every step of each\n"
                          "  --help, --version\n"
                          "\n"
                          "Exit codes: 0 every selected unit confirmed (or nothing to do: none selected, every one\n"
                          "up to date, or no batch to resume; check: no unit fails); 1 some unit failed, was\n"
                          "overdue or was refused (check: some unit fails); 2 the batch was stopped or its rollout\n"
                          "halted; 3 bad usage or input (history: no such batch); 4 cannot start.\n"
                          "Ctrl-C stops commanding new units and lets commanded ones finish; a second Ctrl-C quits.\n");
}

QString cliUsageHint()
{
    return QStringLiteral("Try 'bryx-updater-cli --help' for more information.");
}
