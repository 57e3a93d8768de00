#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "service/dcf_prog.h"
#include "service/dcf_sem.h"
#include "service/registry_io.h"
#include "tests/support/child.h"
#include "tests/support/log_text.h"
#include "tests/support/proc.h"
#include "timesvc/tm_srvce.h"

namespace {

using tproc::console_line;

const std::string kUsage = console_line(
    "\n"
    "Wywolanie programu obslugi zegara Horolan ma postac: \n"
    "1: tempusd /Cn /S /Tn \n"
    "lub \n"
    "2: tempusd /D \n"
    "\n"
    "W wywolaniu 1: wszystkie opcje sa opcjonalne (moga zostac pominiete). Kolejnosc wystepowania opcji jest "
    "dowolna. \n"
    "Opcja /Cn definiuje port szeregowy (C1 - COM1, C2 - COM2, C3 - COM3, C4 - COM4). Domniemana wartosc to "
    "/C1. \n"
    "Opcja /Txx ustala, co ile minut dokonywane jest sprawdzenie i ewentualna synchronizacja czasu "
    "systemowego "
    "(1-63). Domniemana wartosc to /T60. \n"
    "Opcja /S wymusza synchronizacje czasu systemowego juz w chwili rozpoczecia dzialania programu obslugi "
    "zegara Horolan. \n"
    "\n"
    "W wywolaniu 2: opcja /D oznacza usuniecie programu obslugi zegara Horolan. Wystapienie opcji /D jest w "
    "takim przypadku obowiazkowe i wyklucza pojawienie sie kazdej innej opcji.\n"
    "Opcja /Nn (n = 0-255) lub /N/sciezka przekazuje czas zegara Horolan serwerowi NTP (segment pamieci "
    "wspolnej n albo gniazdo SOCK programu chronyd) zamiast ustawiac zegar systemowy.\n"
    "Opcja /Q wypisuje stan zainstalowanego programu obslugi zegara Horolan i jest wtedy jedyna (kod "
    "wyjscia: "
    "0 - zsynchronizowany w ciagu trzech ostatnich okresow, 1 - bez synchronizacji, 2 - nie dziala lub "
    "utracono polaczenie z zegarem, 3 - stanu nie mozna odczytac).\n");

const std::string kBadFormat = "Niepoprawny format wywolania programu obslugi zegara Horolan.";
const std::string kUnknown = "Niepoprawna opcja wywolania programu obslugi zegara Horolan.";
const std::string kDAlone = "Jesli wystepuje opcja /D, to jest ona jedyna.";
const std::string kQAlone = "Jesli wystepuje opcja /Q, to jest ona jedyna.";

std::string bad(const char *name)
{
    return std::string("Niepoprawna opcja ") + name + " wywolania programu obslugi zegara Horolan.";
}

std::string repeated(const char *name)
{
    return std::string("Powtorne wystapienie opcji ") + name + " wywolania programu obslugi zegara Horolan.";
}

struct WalkCase {
    const char *title;
    std::vector<std::string> args;
    int outcome;
    dcf_settings settings;             // checked for the accepted forms only
    std::vector<std::string> messages; // console and log alike, in order
};

// Keeps test listings readable: a case prints as its title, not as raw bytes.
void PrintTo(const WalkCase &c, std::ostream *os)
{
    *os << c.title;
}

// What the walk leaves behind, as the child reports it on stdout.
std::string settings_text(int outcome, const dcf_settings &s)
{
    std::string ntp;
    if (s.ntp.kind == NTP_TARGET_SHM)
        ntp = " N" + std::to_string(s.ntp.unit);
    else if (s.ntp.kind == NTP_TARGET_SOCK)
        ntp = std::string(" N") + s.ntp.path;
    return std::to_string(outcome) + " C" + std::to_string(s.port) + s.port_path + " S" +
           std::to_string(s.sync_now) + " T" + std::to_string(s.interval) + " D" +
           std::to_string(s.deinstall) + ntp + " Q" + std::to_string(s.query);
}

std::string long_argument(const char *head, size_t length)
{
    std::string arg(head);
    arg.resize(length, '1');
    return arg;
}

const WalkCase kWalkCases[] = {
    {"no arguments", {}, WALK_INSTALL, {0, 0, 0, 0, 0}, {}},
    {"lower case", {"/c2", "/s", "/t5"}, WALK_INSTALL, {2, 1, 5, 0, 0}, {}},
    {"leading zero", {"/T07"}, WALK_INSTALL, {0, 0, 7, 0, 0}, {}},
    {"largest values", {"/T63", "/C4"}, WALK_INSTALL, {4, 0, 63, 0, 0}, {}},
    {"removal alone", {"/D"}, WALK_REMOVE, {0, 0, 0, 1, 0}, {}},
    {"T zero", {"/T0"}, WALK_REJECTED, {}, {bad("/T")}},
    {"T empty", {"/t"}, WALK_REJECTED, {}, {bad("/T")}},
    {"T 64", {"/T64"}, WALK_REJECTED, {}, {bad("/T")}},
    {"T three digits", {"/T123"}, WALK_REJECTED, {}, {bad("/T")}},
    {"T letter", {"/T6a"}, WALK_REJECTED, {}, {bad("/T")}},
    {"T minus", {"/T-5"}, WALK_REJECTED, {}, {bad("/T")}},
    {"T non-ASCII", {"/T\xb9"}, WALK_REJECTED, {}, {bad("/T")}},
    {"T non-ASCII pair", {"/T\xc3\xb3"}, WALK_REJECTED, {}, {bad("/T")}},
    {"C zero", {"/C0"}, WALK_REJECTED, {}, {bad("/C")}},
    {"C five", {"/C5"}, WALK_REJECTED, {}, {bad("/C")}},
    {"C two digits", {"/C12"}, WALK_REJECTED, {}, {bad("/C")}},
    {"C empty", {"/c"}, WALK_REJECTED, {}, {bad("/C")}},
    {"C letter", {"/Cx"}, WALK_REJECTED, {}, {bad("/C")}},
    {"S with rest", {"/S1"}, WALK_REJECTED, {}, {bad("/S")}},
    {"D with rest", {"/dx"}, WALK_REJECTED, {}, {bad("/D")}},
    {"C repeated", {"/C1", "/C1"}, WALK_REJECTED, {}, {bad("/C"), repeated("/C")}},
    {"C malformed then repeated", {"/C5", "/C1"}, WALK_REJECTED, {}, {bad("/C"), bad("/C"), repeated("/C")}},
    {"T repeated three times",
     {"/T5", "/T6", "/T7"},
     WALK_REJECTED,
     {},
     {bad("/T"), repeated("/T"), bad("/T"), repeated("/T")}},
    {"D repeated", {"/D", "/D"}, WALK_REJECTED, {}, {bad("/D"), repeated("/D")}},
    {"D with S", {"/D", "/S"}, WALK_D_NOT_ALONE, {}, {kDAlone}},
    {"T with D", {"/T10", "/D"}, WALK_D_NOT_ALONE, {}, {kDAlone}},
    {"no slash", {"C1"}, WALK_REJECTED, {}, {kBadFormat}},
    {"lone slash", {"/"}, WALK_REJECTED, {}, {kBadFormat}},
    {"empty argument", {""}, WALK_REJECTED, {}, {kBadFormat}},
    {"unknown letter", {"/X"}, WALK_REJECTED, {}, {kUnknown}},
    {"unknown digit", {"/7"}, WALK_REJECTED, {}, {kUnknown}},
    {"non-ASCII letter", {"/\xe9"}, WALK_REJECTED, {}, {kUnknown}},
    {"non-ASCII letter pair", {"/\xc4\x85"}, WALK_REJECTED, {}, {kUnknown}},
    {"bad before good", {"/X", "/S"}, WALK_REJECTED, {}, {kUnknown}},
    {"good before bad", {"/S", "/X"}, WALK_REJECTED, {}, {kUnknown}},
    {"every bad argument reported",
     {"x", "/X", "/C9", "/D"},
     WALK_REJECTED,
     {},
     {kBadFormat, kUnknown, bad("/C")}},
    {"159 characters fit", {long_argument("/C", 159)}, WALK_REJECTED, {}, {bad("/C")}},
    {"N shared-memory units", {"/n0"}, WALK_INSTALL, {0, 0, 0, 0, 0, {NTP_TARGET_SHM, 0, ""}}, {}},
    {"N unit 255", {"/N255"}, WALK_INSTALL, {0, 0, 0, 0, 0, {NTP_TARGET_SHM, 255, ""}}, {}},
    {"N socket",
     {"/N/run/chrony.dcf.sock"},
     WALK_INSTALL,
     {0, 0, 0, 0, 0, {NTP_TARGET_SOCK, 0, "/run/chrony.dcf.sock"}},
     {}},
    {"N socket of 64 bytes",
     {long_argument("/N/", 66)},
     WALK_INSTALL,
     {0,
      0,
      0,
      0,
      0,
      {NTP_TARGET_SOCK, 0, "/111111111111111111111111111111111111111111111111111111111111111"}},
     {}},
    {"N socket of 65 bytes", {long_argument("/N/", 67)}, WALK_REJECTED, {}, {bad("/N")}},
    {"N empty", {"/N"}, WALK_REJECTED, {}, {bad("/N")}},
    {"N 256", {"/N256"}, WALK_REJECTED, {}, {bad("/N")}},
    {"N four digits", {"/N0001"}, WALK_REJECTED, {}, {bad("/N")}},
    {"N letter", {"/N2a"}, WALK_REJECTED, {}, {bad("/N")}},
    {"N relative path", {"/Nrun/chrony.sock"}, WALK_REJECTED, {}, {bad("/N")}},
    {"N repeated", {"/N1", "/N/x"}, WALK_REJECTED, {}, {bad("/N"), repeated("/N")}},
    {"N with D", {"/N1", "/D"}, WALK_D_NOT_ALONE, {}, {kDAlone}},
    {"160 characters do not", {long_argument("/T", 160)}, WALK_REJECTED, {}, {kBadFormat}},
    {"C device path", {"/c/dev/ttyUSB0", "/T5"}, WALK_INSTALL, {0, 0, 5, 0, 0, {}, "/dev/ttyUSB0"}, {}},
    {"C path of 64 bytes",
     {long_argument("/C/", 66)},
     WALK_INSTALL,
     {0, 0, 0, 0, 0, {}, "/111111111111111111111111111111111111111111111111111111111111111"},
     {}},
    {"C path of 65 bytes", {long_argument("/C/", 67)}, WALK_REJECTED, {}, {bad("/C")}},
    {"C relative path", {"/Cdev/ttyS0"}, WALK_REJECTED, {}, {bad("/C")}},
    {"C path repeated", {"/C1", "/C/dev/ttyS0"}, WALK_REJECTED, {}, {bad("/C"), repeated("/C")}},
    {"C path with D", {"/C/dev/ttyS0", "/D"}, WALK_D_NOT_ALONE, {}, {kDAlone}},
    {"query alone", {"/q"}, WALK_QUERY, {0, 0, 0, 0, 0, {}, "", 1}, {}},
    {"Q with rest", {"/Qx"}, WALK_REJECTED, {}, {bad("/Q")}},
    {"Q repeated", {"/Q", "/Q"}, WALK_REJECTED, {}, {bad("/Q"), repeated("/Q")}},
    {"Q with T", {"/Q", "/T5"}, WALK_D_NOT_ALONE, {}, {kQAlone}},
    {"Q with N", {"/N1", "/Q"}, WALK_D_NOT_ALONE, {}, {kQAlone}},
    {"D with Q", {"/D", "/Q"}, WALK_D_NOT_ALONE, {}, {kDAlone, kQAlone}},
};

class ServiceWalk : public ::testing::TestWithParam<WalkCase> {
protected:
    void SetUp() override { dir_ = tproc::make_scratch_dir(); }
    void TearDown() override { tproc::remove_tree(dir_); }
    std::string dir_;
};

TEST_P(ServiceWalk, ReportsAndClassifies)
{
    const WalkCase &c = GetParam();
    std::vector<std::string> args = c.args;
    tproc::ChildRun run = tproc::run_in_child(dir_, [&args]() {
        std::vector<char *> argv;
        static char program[] = "tempusd";
        argv.push_back(program);
        for (std::string &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        update_DST_correction();
        dcf_settings s{};
        int outcome = parse_command_line(static_cast<int>(argv.size()) - 1, argv.data(), &s, now_DST());
        printf("%s", settings_text(outcome, s).c_str());
        return 0;
    });
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exit_code, 0);

    std::string console;
    for (const std::string &m : c.messages) {
        console += console_line(m);
    }
    if (c.outcome == WALK_REJECTED || c.outcome == WALK_D_NOT_ALONE) {
        console += kUsage;
    }
    EXPECT_EQ(run.console, console);
    EXPECT_EQ(tproc::log_messages(tproc::read_file(dir_ + "/dcf.log")), c.messages);

    if (c.outcome == WALK_INSTALL || c.outcome == WALK_REMOVE) {
        EXPECT_EQ(run.out, settings_text(c.outcome, c.settings));
    } else {
        EXPECT_EQ(run.out.substr(0, 1), std::to_string(c.outcome));
    }
}

std::string case_name(const ::testing::TestParamInfo<WalkCase> &info)
{
    std::string name;
    for (const char *p = info.param.title; *p != '\0'; ++p) {
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Arguments, ServiceWalk, ::testing::ValuesIn(kWalkCases), case_name);

class ServiceMain : public ::testing::Test {
protected:
    void SetUp() override { dir_ = tproc::make_scratch_dir(); }
    void TearDown() override { tproc::remove_tree(dir_); }

    // tempusd_main in a child, the registry moved to a key of this test.
    tproc::ChildRun run_main(std::vector<std::string> args)
    {
        int key = tproc::unique_registry_key();
        tproc::ChildRun run = tproc::run_tempusd_main(dir_, key, std::move(args));
        tproc::remove_registry(key);
        return run;
    }
    std::string dir_;
};

TEST_F(ServiceMain, CommandLineErrorsEndWithCodeOne)
{
    tproc::ChildRun rejected = run_main({"/S", "/X"});
    EXPECT_TRUE(rejected.exited);
    EXPECT_EQ(rejected.exit_code, 1);
    EXPECT_EQ(rejected.console, console_line(kUnknown) + kUsage);

    tproc::ChildRun not_alone = run_main({"/D", "/C2"});
    EXPECT_TRUE(not_alone.exited);
    EXPECT_EQ(not_alone.exit_code, 1);
    EXPECT_EQ(not_alone.console, console_line(kDAlone) + kUsage);
}

TEST_F(ServiceMain, UnwritableLogEndsWithCodeTwo)
{
    // Everything runs as root, which ignores permission bits: a directory in
    // the log's place is what makes it impossible to open.
    ASSERT_EQ(mkdir((dir_ + "/dcf.log").c_str(), 0755), 0);
    tproc::ChildRun run = run_main({"/C7", "/X"});
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.console, console_line(bad("/C")) +
                               console_line("Nie mozna otworzyc dziennika zegara Horolan. Koniec ..."));
}

} // namespace
