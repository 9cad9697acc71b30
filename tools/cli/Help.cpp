// Manual pages of korvex-cli and its commands.
#include "Cli.h"

#include <map>

namespace {

const char* exitStatus =
    "EXIT STATUS\n"
    "    0    success\n"
    "    1    an operation failed or was refused; the library's error lines are shown\n"
    "    2    bad command line\n"
    "    3    no dongle found within --timeout seconds\n"
    "    4    a remote the command needs is not connected within --remote-timeout seconds\n"
    "    5    a fixed configuration was refused, or the remote never confirmed it\n"
    "    6    streaming did not start, or did not stop, in time\n"
    "    7    --simulate: the simulated kit could not be started\n"
    "    130  interrupted (Ctrl-C) before the command could finish\n";

const char* globalOptions =
    "GLOBAL OPTIONS (before or after the command)\n"
    "    --simulate          run on a simulated kit started for this command: a dongle with\n"
    "                        two connected remotes, on a port registry of its own (a private\n"
    "                        KORVEX_RUNTIME_DIR), stopped when the command ends\n"
    "    --sim-arg ARG       pass ARG to the simulator (repeatable), e.g. --sim-arg=--seed\n"
    "                        --sim-arg=7, or --sim-arg=--remotes --sim-arg=1\n"
    "    --json              print one JSON document on standard output instead of text\n"
    "    --timeout S         seconds to wait for the dongle (default 10)\n"
    "    --remote-timeout S  seconds to wait for a remote's radio link (default 5)\n"
    "    --verbose           also show the library's log lines on standard error\n"
    "    --quiet             no progress line\n"
    "    --help, -h          this page, or the command's page after a command\n";

const std::map<std::string, std::string>& pages() {
    static const std::map<std::string, std::string> p = {
        {"state",
         "NAME\n"
         "    korvex-cli state - show the dongle and the two remote slots\n\n"
         "SYNOPSIS\n"
         "    korvex-cli [--simulate] [--json] state\n\n"
         "DESCRIPTION\n"
         "    Finds the dongle, waits briefly for the remotes' status, and prints the dongle's\n"
         "    identifier, firmware and mode, and for each remote slot its identifier, radio\n"
         "    link, pairing, fixed configuration and battery voltage. With --json the\n"
         "    library's hardware state document is printed under \"hardware\".\n\n"},
        {"configure",
         "NAME\n"
         "    korvex-cli configure - set a remote's fixed configuration\n\n"
         "SYNOPSIS\n"
         "    korvex-cli [--simulate] configure REMOTE CONFIG\n\n"
         "DESCRIPTION\n"
         "    Asks remote REMOTE (1 or 2) to run fixed configuration CONFIG and waits until\n"
         "    the remote confirms it and its packet layout is known. The remote keeps the\n"
         "    configuration for later commands. CONFIG 0 clears it.\n\n"},
        {"record",
         "NAME\n"
         "    korvex-cli record - record a run\n\n"
         "SYNOPSIS\n"
         "    korvex-cli [--simulate] record [--config R=C]... [--seconds N] [--export]\n"
         "               [--prefix P] [--no-stack]\n\n"
         "DESCRIPTION\n"
         "    Sets the fixed configurations, starts streaming, shows a progress line (elapsed\n"
         "    time and samples received per sensor), and stops after N seconds or at Ctrl-C.\n"
         "    It then waits until the dongle has left data mode, prints a summary per sensor\n"
         "    (samples, measured rate, minimum and maximum of each axis in physical units),\n"
         "    optionally exports every sensor as CSV, and stacks the run. The run's raw data\n"
         "    and metadata are kept in the work-file folder whatever happens; `korvex-cli\n"
         "    runs` lists them.\n\n"
         "OPTIONS\n"
         "    --config R=C   remote R (1 or 2) records with fixed configuration C (repeatable).\n"
         "                   Without it, every connected remote whose configuration the\n"
         "                   library already knows records with it; a freshly started command\n"
         "                   usually knows none, so give --config.\n"
         "    --seconds N    stop after N seconds (default: at Ctrl-C)\n"
         "    --export       write one CSV file per sensor into the work files' export folder\n"
         "    --prefix P     CSV names P_R_T.csv instead of <run id>_R_T.csv\n"
         "    --no-stack     leave the run as the current acquisition instead of stacking it\n\n"},
        {"export",
         "NAME\n"
         "    korvex-cli export - export a stored run as CSV\n\n"
         "SYNOPSIS\n"
         "    korvex-cli export [RUN] [--remote R --sensor T [--name NAME]] [--prefix P]\n"
         "               [--summary]\n\n"
         "DESCRIPTION\n"
         "    Reloads run RUN (an identifier from `korvex-cli runs`, or \"last\", the default)\n"
         "    from its raw data and writes every sensor, or the one sensor given, as a CSV\n"
         "    file in the work files' export folder. Needs no dongle. Names may not leave the\n"
         "    export folder.\n\n"
         "OPTIONS\n"
         "    --remote R, --sensor T   export only sensor type T of remote R\n"
         "    --name NAME              file name for that one sensor (\".csv\" is added)\n"
         "    --prefix P               names P_R_T.csv instead of <run id>_R_T.csv\n"
         "    --summary                also print the per-sensor summary\n\n"},
        {"runs",
         "NAME\n"
         "    korvex-cli runs - list or delete stored runs\n\n"
         "SYNOPSIS\n"
         "    korvex-cli runs [list]\n"
         "    korvex-cli runs delete RUN\n\n"
         "DESCRIPTION\n"
         "    Lists the runs stored in the work-file folder (identifier, start time, dongle and\n"
         "    the configuration of each remote), oldest first, or deletes one run's files.\n"
         "    Needs no dongle.\n\n"},
        {"calibration",
         "NAME\n"
         "    korvex-cli calibration - list, save or delete calibration records\n\n"
         "SYNOPSIS\n"
         "    korvex-cli calibration [list]\n"
         "    korvex-cli calibration save --remote-id ID --sensor T --offset O --scale S\n"
         "    korvex-cli calibration delete --remote-id ID --sensor T\n\n"
         "DESCRIPTION\n"
         "    A calibration record replaces the default offsets and scales of a sensor of one\n"
         "    physical remote (its hardware identifier, see `korvex-cli state`). Sensor types:\n"
         "    1 accelerometer, 2 magnetometer, 3 gyroscope (three numbers each, x,y,z) and\n"
         "    8 force (one number: the tare in raw counts, and the scale in counts per newton).\n"
         "    Saved records apply to every later run of that remote. Needs no dongle.\n\n"
         "OPTIONS\n"
         "    --remote-id ID   the remote's hardware identifier (decimal or 0x hexadecimal)\n"
         "    --sensor T       1, 2, 3 or 8\n"
         "    --offset O       offsets in raw counts, comma-separated\n"
         "    --scale S        scales in raw counts per unit, comma-separated, not zero\n\n"},
        {"tare",
         "NAME\n"
         "    korvex-cli tare - zero the force sensor over a time window\n\n"
         "SYNOPSIS\n"
         "    korvex-cli [--simulate] tare --remote R --seconds N [--config C] [options]\n"
         "    korvex-cli tare --remote R --run RUN [options]\n\n"
         "DESCRIPTION\n"
         "    Takes the force sensor of remote R either from a new recording of N seconds\n"
         "    (leave the probe unloaded) or from stored run RUN (\"last\" for the newest),\n"
         "    sets its tare to the mean reading between --from and --to, re-converts the\n"
         "    samples and prints the force before and after. With --save the tare is stored\n"
         "    as the remote's force calibration record, so later runs start tared.\n\n"
         "OPTIONS\n"
         "    --remote R        remote 1 or 2\n"
         "    --from S, --to E  window in seconds (default 0 to the end; a negative start\n"
         "                      counts back from the end)\n"
         "    --seconds N       record N seconds first (needs the dongle)\n"
         "    --config C        configuration for that recording (default: the remote's own)\n"
         "    --run RUN         use a stored run instead\n"
         "    --save            store the tare as a calibration record\n"
         "    --export          write the tared force data as CSV (--name NAME to name it)\n\n"},
    };
    return p;
}

} // namespace

std::string mainHelp() {
    return std::string("NAME\n"
                       "    korvex-cli - record, inspect and export from the Korvex kit\n\n"
                       "SYNOPSIS\n"
                       "    korvex-cli [GLOBAL OPTIONS] COMMAND [COMMAND OPTIONS]\n\n"
                       "COMMANDS\n"
                       "    state         show the dongle and remote state\n"
                       "    configure     set a remote's fixed configuration\n"
                       "    record        record a run, print a summary, export CSV\n"
                       "    export        reload a stored run and export it as CSV\n"
                       "    runs          list or delete stored runs\n"
                       "    calibration   list, save or delete calibration records\n"
                       "    tare          zero the force sensor over a time window\n"
                       "    help COMMAND  the manual page of a command\n\n") +
           globalOptions + "\n" +
           "FILES\n"
           "    The work files are in $KORVEX_DOCUMENTS_DIR (else the XDG documents folder, else\n"
           "    ~/Documents) under Korvex-WorkFiles/: rawdata/ holds the runs, export/ the CSV\n"
           "    files, calibration/ the calibration records.\n\n" +
           exitStatus + "\n" +
           "EXAMPLES\n"
           "    korvex-cli --simulate record --config 1=3 --config 2=4 --seconds 3 --export\n"
           "    korvex-cli runs\n"
           "    korvex-cli export last --remote 1 --sensor 1 --name tilt\n";
}

std::string commandHelp(const std::string& command) {
    auto it = pages().find(command);
    if (it == pages().end())
        return {};
    return it->second + globalOptions + "\n" + exitStatus;
}
