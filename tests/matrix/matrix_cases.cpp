// The rows of the fault matrix. Each states, from what the update chain is
// designed to do, where the chain ends under one fault at one place: the
// message shown, the step and UpdateState it stops at (or completion), whether
// the link is still held, McuUpdatePending and AutoStage, and what the unit
// ends up with. The texts are written out here, independently of the tool's own
// constants, so that a wrong text in the tool shows up as a mismatch.
#include "fault_matrix.h"

#include "app/isp.h"

namespace kv::matrix {

namespace {

using toolkit::MessageSymbol;

constexpr auto kCompleted = TChainEnd::kCompleted;
constexpr auto kStopped = TChainEnd::kStopped;
constexpr auto kStalled = TChainEnd::kStalled;

// Panel 1.
const char* const kRun = "Detect Run HID";
const char* const kUpd = "Detect Update HID";
const char* const kGone = "No Device";

constexpr bool kHeld = true;
constexpr bool kFree = false;
constexpr bool kClean = true;
constexpr bool kDirty = false;

// After an unplug fault the unit stays away, or comes back after this long in
// the personality it left.
constexpr int kNever = -1;
constexpr int kBack = 50;

const TFlash kBlank{TFlashState::kBlank, 0};
const TFlash kFull{TFlashState::kComplete, kMatrixImageBytes};
const TFlash kCorrupt{TFlashState::kCorrupt, 0};
// "Start Program" carries 48 bytes, each data packet 56, the last one 20.
const TFlash kStart48{TFlashState::kPartial, 48};
const TFlash kData0{TFlashState::kPartial, 104};
const TFlash kData2{TFlashState::kPartial, 216};

constexpr auto kDspNone = TDspState::kNone;
constexpr auto kDspPart = TDspState::kPartial;
constexpr auto kDspFull = TDspState::kComplete;

const TBox kOk{" Program OK !! ", MessageSymbol::kInformation};
const TBox kReadError{"READ ERROR: A device attached to the system is not functioning.",
                      MessageSymbol::kInformation};
const TBox kWrongType{" Wrong Uint Type !! ", MessageSymbol::kInformation};
const TBox kStartError{"ISP Start Error !!", MessageSymbol::kError};
const TBox kSyncError{"ISP Sync Error !!", MessageSymbol::kError};
const TBox kEraseError{"Erase All Error !!", MessageSymbol::kError};
const TBox kIdError{"Get ID Error !!", MessageSymbol::kError};
const TBox kProgStartError{"Program Start Error !!", MessageSymbol::kError};
const TBox kDataError{"Program Data Error !!", MessageSymbol::kError};

const std::vector<std::string> kVector{"vector"};

}  // namespace

// clang-format off
const std::vector<TMatrixCase>& MatrixCases() {
  static const std::vector<TMatrixCase> kCases{
// Columns: fault, replug, units, the unit written to; then the outcome: how the chain ends,
// UpdateState, step text, panel 1, link, McuUpdatePending, AutoStage, messages, exceptions,
// the unit's flash over the image's range, its DSP program, whether it saw a violation.
// ---- no-reply: the unit handles the request but never answers ----
{"no-reply@connect",        kNever, 1, 0, {kStalled,  usConnect,            "Connect",             kUpd, kHeld, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"no-reply@sync-package",   kNever, 1, 0, {kStalled,  usSyncPackage,        "Sync Package",        kUpd, kHeld, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"no-reply@firmware-version", kNever, 1, 0, {kStalled,  usGetFirmwareVersion, "Get Firmware Version", kUpd, kHeld, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"no-reply@device-id",      kNever, 1, 0, {kStalled,  usGetDeviceId,        "Get Device ID",       kUpd, kHeld, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"no-reply@read-config",    kNever, 1, 0, {kStalled,  usReadConfig,         "Read Config",         kUpd, kHeld, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"no-reply@sync-program",   kNever, 1, 0, {kStalled,  usSyncProgram,        "Sync Program",        kUpd, kHeld, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"no-reply@start-program",  kNever, 1, 0, {kStalled,  usStartProgram,       "Start Program",       kUpd, kHeld, 1, asMcuUpdate,   {},                   {},      kStart48, kDspNone, kClean}},
{"no-reply@data:0",         kNever, 1, 0, {kStalled,  usProgramData,        "Mcu Programing 0",    kUpd, kHeld, 1, asMcuUpdate,   {},                   {},      kData0,   kDspNone, kClean}},
{"no-reply@data:2",         kNever, 1, 0, {kStalled,  usProgramData,        "Mcu Programing 2",    kUpd, kHeld, 1, asMcuUpdate,   {},                   {},      kData2,   kDspNone, kClean}},
{"no-reply@data:4",         kNever, 1, 0, {kStalled,  usProgramData,        "Mcu Programing 4",    kUpd, kHeld, 1, asMcuUpdate,   {},                   {},      kFull,    kDspNone, kClean}},
{"no-reply@reset",          kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"no-reply@cmd:0x10",       kNever, 1, 0, {kStalled,  usVersionCheck,       "",                    kRun, kHeld, 1, asNone,        {},                   {},      kBlank,   kDspNone, kClean}},
{"no-reply@cmd:0x10:2",     kNever, 1, 0, {kStalled,  usVersionCheck,       "",                    kRun, kHeld, 1, asNone,        {},                   {},      kBlank,   kDspNone, kClean}},
{"no-reply@cmd:0x13",       kNever, 1, 0, {kStalled,  usVersionCheck,       "",                    kRun, kHeld, 0, asNone,        {},                   {},      kBlank,   kDspNone, kClean}},
{"no-reply@cmd:0x08",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"no-reply@param:0",        kNever, 1, 0, {kStalled,  usRunCommands,        "Parameter Data",      kRun, kHeld, 1, asMcuUpdate,   {},                   {},      kFull,    kDspNone, kClean}},
{"no-reply@cmd:0x1A",       kNever, 1, 0, {kStalled,  usRunCommands,        "Parameter Data",      kRun, kHeld, 1, asMcuUpdate,   {},                   {},      kFull,    kDspNone, kClean}},
{"no-reply@param:5",        kNever, 1, 0, {kStalled,  usRunCommands,        "Parameter Data",      kRun, kHeld, 1, asMcuUpdate,   {},                   {},      kFull,    kDspNone, kClean}},
{"no-reply@param:10",       kNever, 1, 0, {kStalled,  usRunCommands,        "Parameter Data",      kRun, kHeld, 1, asMcuUpdate,   {},                   {},      kFull,    kDspNone, kClean}},
{"no-reply@dsp:0",          kNever, 1, 0, {kStalled,  usRunCommands,        "Dsp Program",         kRun, kHeld, 1, asDspDownload, {},                   {},      kFull,    kDspPart, kClean}},
{"no-reply@dsp:407",        kNever, 1, 0, {kStalled,  usRunCommands,        "Dsp Progrmming 406",  kRun, kHeld, 1, asDspDownload, {},                   {},      kFull,    kDspPart, kClean}},
{"no-reply@dsp:813",        kNever, 1, 0, {kStalled,  usRunCommands,        "Dsp Progrmming 812",  kRun, kHeld, 1, asDspDownload, {},                   {},      kFull,    kDspFull, kClean}},
{"no-reply@cmd:0x12",       kNever, 1, 0, {kStalled,  usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"no-reply@cmd:0x04",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},

// ---- bad-echo ----
{"bad-echo@connect",        kNever, 1, 0, {kStopped,  usVersionCheck,       "Connect",             kUpd, kFree, 1, asMcuUpdate,   {kStartError},        {},      kBlank,   kDspNone, kClean}},
{"bad-echo@sync-package",   kNever, 1, 0, {kStopped,  usVersionCheck,       "Sync Package",        kUpd, kFree, 1, asMcuUpdate,   {kSyncError},         {},      kBlank,   kDspNone, kClean}},
{"bad-echo@firmware-version", kNever, 1, 0, {kStopped,  usGetFirmwareVersion, "Get Firmware Version", kUpd, kHeld, 1, asMcuUpdate,   {kEraseError},        {},      kBlank,   kDspNone, kClean}},
{"bad-echo@device-id",      kNever, 1, 0, {kStopped,  usVersionCheck,       "Get Device ID",       kUpd, kFree, 1, asMcuUpdate,   {kIdError},           {},      kBlank,   kDspNone, kClean}},
{"bad-echo@read-config",    kNever, 1, 0, {kStopped,  usReadConfig,         "Read Config",         kUpd, kHeld, 1, asMcuUpdate,   {kEraseError},        {},      kBlank,   kDspNone, kClean}},
{"bad-echo@sync-program",   kNever, 1, 0, {kStopped,  usSyncProgram,        "Sync Program",        kUpd, kHeld, 1, asMcuUpdate,   {kEraseError},        {},      kBlank,   kDspNone, kClean}},
{"bad-echo@start-program",  kNever, 1, 0, {kStopped,  usStartProgram,       "Start Program",       kUpd, kHeld, 1, asMcuUpdate,   {kProgStartError},    {},      kStart48, kDspNone, kClean}},
{"bad-echo@data:0",         kNever, 1, 0, {kStopped,  usProgramData,        "Mcu Programing 0",    kUpd, kHeld, 1, asMcuUpdate,   {kDataError},         {},      kData0,   kDspNone, kClean}},
{"bad-echo@data:2",         kNever, 1, 0, {kStopped,  usProgramData,        "Mcu Programing 2",    kUpd, kHeld, 1, asMcuUpdate,   {kDataError},         {},      kData2,   kDspNone, kClean}},
{"bad-echo@data:4",         kNever, 1, 0, {kStopped,  usProgramData,        "Mcu Programing 4",    kUpd, kHeld, 1, asMcuUpdate,   {kDataError},         {},      kFull,    kDspNone, kClean}},
{"bad-echo@reset",          kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"bad-echo@cmd:0x10",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"bad-echo@cmd:0x10:2",     kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"bad-echo@cmd:0x13",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"bad-echo@cmd:0x08",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"bad-echo@param:0",        kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"bad-echo@cmd:0x1A",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"bad-echo@param:5",        kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"bad-echo@param:10",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"bad-echo@dsp:0",          kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"bad-echo@dsp:407",        kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"bad-echo@dsp:813",        kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"bad-echo@cmd:0x12",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"bad-echo@cmd:0x04",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},

// ---- unplug: the unit leaves the bus instead of answering and stays away ----
{"unplug@connect",          kNever, 1, 0, {kStopped,  usVersionCheck,       "Connect",             kGone, kFree, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"unplug@sync-package",     kNever, 1, 0, {kStopped,  usVersionCheck,       "Sync Package",        kGone, kFree, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"unplug@firmware-version", kNever, 1, 0, {kStopped,  usVersionCheck,       "Get Firmware Version", kGone, kFree, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"unplug@device-id",        kNever, 1, 0, {kStopped,  usVersionCheck,       "Get Device ID",       kGone, kFree, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"unplug@read-config",      kNever, 1, 0, {kStopped,  usVersionCheck,       "Read Config",         kGone, kFree, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"unplug@sync-program",     kNever, 1, 0, {kStopped,  usVersionCheck,       "Sync Program",        kGone, kFree, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"unplug@start-program",    kNever, 1, 0, {kStopped,  usVersionCheck,       "Start Program",       kGone, kFree, 1, asMcuUpdate,   {},                   {},      kStart48, kDspNone, kClean}},
{"unplug@data:0",           kNever, 1, 0, {kStopped,  usVersionCheck,       "Mcu Programing 0",    kGone, kFree, 1, asMcuUpdate,   {},                   {},      kData0,   kDspNone, kClean}},
{"unplug@data:2",           kNever, 1, 0, {kStopped,  usVersionCheck,       "Mcu Programing 2",    kGone, kFree, 1, asMcuUpdate,   {},                   {},      kData2,   kDspNone, kClean}},
{"unplug@data:4",           kNever, 1, 0, {kStopped,  usVersionCheck,       "Mcu Programing 4",    kGone, kFree, 1, asMcuUpdate,   {},                   {},      kFull,    kDspNone, kClean}},
{"unplug@reset",            kNever, 1, 0, {kStopped,  usVersionCheck,       "MCU Reset",           kGone, kFree, 1, asMcuUpdate,   {},                   {},      kFull,    kDspNone, kClean}},
{"unplug@cmd:0x10",         kNever, 1, 0, {kStalled,  usVersionCheck,       "",                    kGone, kFree, 1, asNone,        {},                   {},      kBlank,   kDspNone, kClean}},
{"unplug@cmd:0x10:2",       kNever, 1, 0, {kStalled,  usVersionCheck,       "",                    kGone, kFree, 1, asNone,        {},                   {},      kBlank,   kDspNone, kClean}},
{"unplug@cmd:0x13",         kNever, 1, 0, {kStopped,  usVersionCheck,       "",                    kGone, kFree, 0, asNone,        {},                   {},      kBlank,   kDspNone, kClean}},
{"unplug@cmd:0x08",         kNever, 1, 0, {kStalled,  usVersionCheck,       "",                    kGone, kFree, 1, asNone,        {},                   {},      kBlank,   kDspNone, kClean}},
{"unplug@param:0",          kNever, 1, 0, {kStopped,  usVersionCheck,       "Parameter Data",      kGone, kFree, 1, asMcuUpdate,   {},                   {},      kFull,    kDspNone, kClean}},
{"unplug@cmd:0x1A",         kNever, 1, 0, {kStopped,  usVersionCheck,       "Parameter Data",      kGone, kFree, 1, asMcuUpdate,   {},                   {},      kFull,    kDspNone, kClean}},
{"unplug@param:5",          kNever, 1, 0, {kStopped,  usVersionCheck,       "Parameter Data",      kGone, kFree, 1, asMcuUpdate,   {},                   {},      kFull,    kDspNone, kClean}},
{"unplug@param:10",         kNever, 1, 0, {kStopped,  usVersionCheck,       "Parameter Data",      kGone, kFree, 1, asMcuUpdate,   {},                   {},      kFull,    kDspNone, kClean}},
{"unplug@dsp:0",            kNever, 1, 0, {kStopped,  usVersionCheck,       "Dsp Program",         kGone, kFree, 1, asDspDownload, {},                   {},      kFull,    kDspPart, kClean}},
{"unplug@dsp:407",          kNever, 1, 0, {kStopped,  usVersionCheck,       "Dsp Progrmming 406",  kGone, kFree, 1, asDspDownload, {},                   {},      kFull,    kDspPart, kClean}},
{"unplug@dsp:813",          kNever, 1, 0, {kStopped,  usVersionCheck,       "Dsp Progrmming 812",  kGone, kFree, 1, asDspDownload, {},                   {},      kFull,    kDspFull, kClean}},
{"unplug@cmd:0x12",         kNever, 1, 0, {kStopped,  usVersionCheck,       "Dsp Progrmming 813",  kGone, kFree, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"unplug@cmd:0x04",         kNever, 1, 0, {kCompleted, usVersionCheck,       "Dsp Progrmming 813",  kGone, kFree, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},

// ---- unplug +replug: ... and comes back 50 ms later in the personality it left ----
{"unplug@connect",          kBack, 1, 0, {kStopped,  usVersionCheck,       "Connect",             kUpd, kFree, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"unplug@sync-package",     kBack, 1, 0, {kStopped,  usVersionCheck,       "Sync Package",        kUpd, kFree, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"unplug@firmware-version", kBack, 1, 0, {kStopped,  usVersionCheck,       "Get Firmware Version", kUpd, kFree, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"unplug@device-id",        kBack, 1, 0, {kStopped,  usVersionCheck,       "Get Device ID",       kUpd, kFree, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"unplug@read-config",      kBack, 1, 0, {kStopped,  usVersionCheck,       "Read Config",         kUpd, kFree, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"unplug@sync-program",     kBack, 1, 0, {kStopped,  usVersionCheck,       "Sync Program",        kUpd, kFree, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"unplug@start-program",    kBack, 1, 0, {kStopped,  usVersionCheck,       "Start Program",       kUpd, kFree, 1, asMcuUpdate,   {},                   {},      kStart48, kDspNone, kClean}},
{"unplug@data:0",           kBack, 1, 0, {kStopped,  usVersionCheck,       "Mcu Programing 0",    kUpd, kFree, 1, asMcuUpdate,   {},                   {},      kData0,   kDspNone, kClean}},
{"unplug@data:2",           kBack, 1, 0, {kStopped,  usVersionCheck,       "Mcu Programing 2",    kUpd, kFree, 1, asMcuUpdate,   {},                   {},      kData2,   kDspNone, kClean}},
{"unplug@data:4",           kBack, 1, 0, {kStopped,  usVersionCheck,       "Mcu Programing 4",    kUpd, kFree, 1, asMcuUpdate,   {},                   {},      kFull,    kDspNone, kClean}},
{"unplug@reset",            kBack, 1, 0, {kStopped,  usVersionCheck,       "MCU Reset",           kUpd, kFree, 1, asMcuUpdate,   {},                   {},      kFull,    kDspNone, kClean}},
{"unplug@cmd:0x10",         kBack, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"unplug@cmd:0x10:2",       kBack, 1, 0, {kStalled,  usVersionCheck,       "",                    kRun, kFree, 1, asNone,        {},                   {},      kBlank,   kDspNone, kClean}},
{"unplug@cmd:0x13",         kBack, 1, 0, {kStopped,  usVersionCheck,       "",                    kRun, kFree, 0, asNone,        {},                   {},      kBlank,   kDspNone, kClean}},
{"unplug@cmd:0x08",         kBack, 1, 0, {kStalled,  usVersionCheck,       "",                    kRun, kFree, 1, asNone,        {},                   {},      kBlank,   kDspNone, kClean}},
{"unplug@param:0",          kBack, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"unplug@cmd:0x1A",         kBack, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"unplug@param:5",          kBack, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"unplug@param:10",         kBack, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"unplug@dsp:0",            kBack, 1, 0, {kStopped,  usVersionCheck,       "Dsp Program",         kRun, kFree, 1, asDspDownload, {},                   {},      kFull,    kDspPart, kClean}},
{"unplug@dsp:407",          kBack, 1, 0, {kStopped,  usVersionCheck,       "Dsp Progrmming 406",  kRun, kFree, 1, asDspDownload, {},                   {},      kFull,    kDspPart, kClean}},
{"unplug@dsp:813",          kBack, 1, 0, {kStopped,  usVersionCheck,       "Dsp Progrmming 812",  kRun, kFree, 1, asDspDownload, {},                   {},      kFull,    kDspFull, kClean}},
{"unplug@cmd:0x12",         kBack, 1, 0, {kStopped,  usVersionCheck,       "Dsp Progrmming 813",  kRun, kFree, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"unplug@cmd:0x04",         kBack, 1, 0, {kCompleted, usVersionCheck,       "Dsp Progrmming 813",  kRun, kFree, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},

// ---- duplicate: the answer comes twice. At a boot-loader step followed by another, a copy
// read once the next request's arming has opened is kept only until that request's own
// reply replaces it, so the arming is long enough for that reply; after the last data
// packet and the reset no arming opens, and in run mode every frame reaches the link ----
{"duplicate@connect",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}, kArmingAfterBothReportsMs},
{"duplicate@sync-package",  kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}, kArmingAfterBothReportsMs},
{"duplicate@firmware-version", kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}, kArmingAfterBothReportsMs},
{"duplicate@device-id",     kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}, kArmingAfterBothReportsMs},
{"duplicate@read-config",   kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}, kArmingAfterBothReportsMs},
{"duplicate@sync-program",  kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}, kArmingAfterBothReportsMs},
{"duplicate@start-program", kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}, kArmingAfterBothReportsMs},
{"duplicate@data:0",        kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}, kArmingAfterBothReportsMs},
{"duplicate@data:2",        kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}, kArmingAfterBothReportsMs},
{"duplicate@data:4",        kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"duplicate@reset",         kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"duplicate@cmd:0x10",      kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"duplicate@cmd:0x10:2",    kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"duplicate@cmd:0x13",      kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"duplicate@cmd:0x08",      kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"duplicate@param:0",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"duplicate@cmd:0x1A",      kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"duplicate@param:5",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"duplicate@param:10",      kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"duplicate@dsp:0",         kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"duplicate@dsp:407",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"duplicate@dsp:813",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"duplicate@cmd:0x12",      kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"duplicate@cmd:0x04",      kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},

// ---- garbage: a report of random bytes comes before the answer; at a boot-loader
// step both land well inside the reply's arming, which keeps the answer ----
{"garbage@connect",         kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}, kArmingAfterBothReportsMs},
{"garbage@sync-package",    kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}, kArmingAfterBothReportsMs},
{"garbage@firmware-version", kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}, kArmingAfterBothReportsMs},
{"garbage@device-id",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}, kArmingAfterBothReportsMs},
{"garbage@read-config",     kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}, kArmingAfterBothReportsMs},
{"garbage@sync-program",    kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}, kArmingAfterBothReportsMs},
{"garbage@start-program",   kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}, kArmingAfterBothReportsMs},
{"garbage@data:0",          kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}, kArmingAfterBothReportsMs},
{"garbage@data:2",          kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}, kArmingAfterBothReportsMs},
{"garbage@data:4",          kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}, kArmingAfterBothReportsMs},
{"garbage@reset",           kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"garbage@cmd:0x10",        kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"garbage@cmd:0x10:2",      kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"garbage@cmd:0x13",        kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"garbage@cmd:0x08",        kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"garbage@param:0",         kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"garbage@cmd:0x1A",        kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"garbage@param:5",         kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"garbage@param:10",        kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"garbage@dsp:0",           kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"garbage@dsp:407",         kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"garbage@dsp:813",         kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"garbage@cmd:0x12",        kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"garbage@cmd:0x04",        kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},

// ---- garbage with a late answer (200 ms, far past the arming): the random report is taken
// as the reply and fails the step as a wrong echo does ----
{"garbage@connect late:200@connect", kNever, 1, 0, {kStopped,  usVersionCheck,       "Connect",             kUpd, kFree, 1, asMcuUpdate,   {kStartError},        {},      kBlank,   kDspNone, kClean}},
{"garbage@sync-package late:200@sync-package", kNever, 1, 0, {kStopped,  usVersionCheck,       "Sync Package",        kUpd, kFree, 1, asMcuUpdate,   {kSyncError},         {},      kBlank,   kDspNone, kClean}},
{"garbage@firmware-version late:200@firmware-version", kNever, 1, 0, {kStopped,  usGetFirmwareVersion, "Get Firmware Version", kUpd, kHeld, 1, asMcuUpdate,   {kEraseError},        {},      kBlank,   kDspNone, kClean}},
{"garbage@device-id late:200@device-id", kNever, 1, 0, {kStopped,  usVersionCheck,       "Get Device ID",       kUpd, kFree, 1, asMcuUpdate,   {kIdError},           {},      kBlank,   kDspNone, kClean}},
{"garbage@read-config late:200@read-config", kNever, 1, 0, {kStopped,  usReadConfig,         "Read Config",         kUpd, kHeld, 1, asMcuUpdate,   {kEraseError},        {},      kBlank,   kDspNone, kClean}},
{"garbage@sync-program late:200@sync-program", kNever, 1, 0, {kStopped,  usSyncProgram,        "Sync Program",        kUpd, kHeld, 1, asMcuUpdate,   {kEraseError},        {},      kBlank,   kDspNone, kClean}},
{"garbage@start-program late:200@start-program", kNever, 1, 0, {kStopped,  usStartProgram,       "Start Program",       kUpd, kHeld, 1, asMcuUpdate,   {kProgStartError},    {},      kStart48, kDspNone, kClean}},
{"garbage@data:0 late:200@data:0", kNever, 1, 0, {kStopped,  usProgramData,        "Mcu Programing 0",    kUpd, kHeld, 1, asMcuUpdate,   {kDataError},         {},      kData0,   kDspNone, kClean}},
{"garbage@data:2 late:200@data:2", kNever, 1, 0, {kStopped,  usProgramData,        "Mcu Programing 2",    kUpd, kHeld, 1, asMcuUpdate,   {kDataError},         {},      kData2,   kDspNone, kClean}},
{"garbage@data:4 late:200@data:4", kNever, 1, 0, {kStopped,  usProgramData,        "Mcu Programing 4",    kUpd, kHeld, 1, asMcuUpdate,   {kDataError},         {},      kFull,    kDspNone, kClean}},

// ---- short: the answer keeps no payload byte. A boot-loader reply too short for the
// fields its step reads is that step's wrong reply, as a bad echo is ----
{"short@connect",           kNever, 1, 0, {kStopped,  usVersionCheck,       "Connect",             kUpd, kFree, 1, asMcuUpdate,   {kStartError},        {},      kBlank,   kDspNone, kClean}},
{"short@sync-package",      kNever, 1, 0, {kStopped,  usVersionCheck,       "Sync Package",        kUpd, kFree, 1, asMcuUpdate,   {kSyncError},         {},      kBlank,   kDspNone, kClean}},
{"short@firmware-version",  kNever, 1, 0, {kStopped,  usGetFirmwareVersion, "Get Firmware Version", kUpd, kHeld, 1, asMcuUpdate,   {kEraseError},        {},      kBlank,   kDspNone, kClean}},
{"short@device-id",         kNever, 1, 0, {kStopped,  usVersionCheck,       "Get Device ID",       kUpd, kFree, 1, asMcuUpdate,   {kIdError},           {},      kBlank,   kDspNone, kClean}},
{"short@read-config",       kNever, 1, 0, {kStopped,  usReadConfig,         "Read Config",         kUpd, kHeld, 1, asMcuUpdate,   {kEraseError},        {},      kBlank,   kDspNone, kClean}},
{"short@sync-program",      kNever, 1, 0, {kStopped,  usSyncProgram,        "Sync Program",        kUpd, kHeld, 1, asMcuUpdate,   {kEraseError},        {},      kBlank,   kDspNone, kClean}},
{"short@start-program",     kNever, 1, 0, {kStopped,  usStartProgram,       "Start Program",       kUpd, kHeld, 1, asMcuUpdate,   {kProgStartError},    {},      kStart48, kDspNone, kClean}},
{"short@data:0",            kNever, 1, 0, {kStopped,  usProgramData,        "Mcu Programing 0",    kUpd, kHeld, 1, asMcuUpdate,   {kDataError},         {},      kData0,   kDspNone, kClean}},
{"short@data:2",            kNever, 1, 0, {kStopped,  usProgramData,        "Mcu Programing 2",    kUpd, kHeld, 1, asMcuUpdate,   {kDataError},         {},      kData2,   kDspNone, kClean}},
{"short@data:4",            kNever, 1, 0, {kStopped,  usProgramData,        "Mcu Programing 4",    kUpd, kHeld, 1, asMcuUpdate,   {kDataError},         {},      kFull,    kDspNone, kClean}},
{"short@reset",             kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"short@cmd:0x10",          kNever, 1, 0, {kStopped,  usVersionCheck,       "",                    kRun, kHeld, 0, asNone,        {},                   kVector, kBlank,   kDspNone, kClean}},
{"short@cmd:0x10:2",        kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                kVector, kFull,    kDspFull, kClean}},
{"short@cmd:0x13",          kNever, 1, 0, {kStopped,  usVersionCheck,       "",                    kRun, kFree, 0, asNone,        {kWrongType},         {},      kBlank,   kDspNone, kClean}},
{"short@cmd:0x08",          kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"short@param:0",           kNever, 1, 0, {kStopped,  usRunCommands,        "Parameter Data",      kRun, kHeld, 1, asMcuUpdate,   {},                   kVector, kFull,    kDspNone, kClean}},
{"short@cmd:0x1A",          kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"short@param:5",           kNever, 1, 0, {kStopped,  usRunCommands,        "Parameter Data",      kRun, kHeld, 1, asMcuUpdate,   {},                   kVector, kFull,    kDspNone, kClean}},
{"short@param:10",          kNever, 1, 0, {kStopped,  usRunCommands,        "Parameter Data",      kRun, kHeld, 1, asMcuUpdate,   {},                   kVector, kFull,    kDspNone, kClean}},
{"short@dsp:0",             kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"short@dsp:407",           kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"short@dsp:813",           kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"short@cmd:0x12",          kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"short@cmd:0x04",          kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},

// ---- oversize: a frame whose length byte claims 57 ----
{"oversize@connect",        kNever, 1, 0, {kStalled,  usConnect,            "Connect",             kUpd, kHeld, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"oversize@sync-package",   kNever, 1, 0, {kStalled,  usSyncPackage,        "Sync Package",        kUpd, kHeld, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"oversize@firmware-version", kNever, 1, 0, {kStalled,  usGetFirmwareVersion, "Get Firmware Version", kUpd, kHeld, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"oversize@device-id",      kNever, 1, 0, {kStalled,  usGetDeviceId,        "Get Device ID",       kUpd, kHeld, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"oversize@read-config",    kNever, 1, 0, {kStalled,  usReadConfig,         "Read Config",         kUpd, kHeld, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"oversize@sync-program",   kNever, 1, 0, {kStalled,  usSyncProgram,        "Sync Program",        kUpd, kHeld, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"oversize@start-program",  kNever, 1, 0, {kStalled,  usStartProgram,       "Start Program",       kUpd, kHeld, 1, asMcuUpdate,   {},                   {},      kStart48, kDspNone, kClean}},
{"oversize@data:0",         kNever, 1, 0, {kStalled,  usProgramData,        "Mcu Programing 0",    kUpd, kHeld, 1, asMcuUpdate,   {},                   {},      kData0,   kDspNone, kClean}},
{"oversize@data:2",         kNever, 1, 0, {kStalled,  usProgramData,        "Mcu Programing 2",    kUpd, kHeld, 1, asMcuUpdate,   {},                   {},      kData2,   kDspNone, kClean}},
{"oversize@data:4",         kNever, 1, 0, {kStalled,  usProgramData,        "Mcu Programing 4",    kUpd, kHeld, 1, asMcuUpdate,   {},                   {},      kFull,    kDspNone, kClean}},
{"oversize@reset",          kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"oversize@cmd:0x10",       kNever, 1, 0, {kStalled,  usVersionCheck,       "",                    kRun, kHeld, 1, asNone,        {},                   {},      kBlank,   kDspNone, kClean}},
{"oversize@cmd:0x10:2",     kNever, 1, 0, {kStalled,  usVersionCheck,       "",                    kRun, kHeld, 1, asNone,        {},                   {},      kBlank,   kDspNone, kClean}},
{"oversize@cmd:0x13",       kNever, 1, 0, {kStalled,  usVersionCheck,       "",                    kRun, kHeld, 0, asNone,        {},                   {},      kBlank,   kDspNone, kClean}},
{"oversize@cmd:0x08",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"oversize@param:0",        kNever, 1, 0, {kStalled,  usRunCommands,        "Parameter Data",      kRun, kHeld, 1, asMcuUpdate,   {},                   {},      kFull,    kDspNone, kClean}},
{"oversize@cmd:0x1A",       kNever, 1, 0, {kStalled,  usRunCommands,        "Parameter Data",      kRun, kHeld, 1, asMcuUpdate,   {},                   {},      kFull,    kDspNone, kClean}},
{"oversize@param:5",        kNever, 1, 0, {kStalled,  usRunCommands,        "Parameter Data",      kRun, kHeld, 1, asMcuUpdate,   {},                   {},      kFull,    kDspNone, kClean}},
{"oversize@param:10",       kNever, 1, 0, {kStalled,  usRunCommands,        "Parameter Data",      kRun, kHeld, 1, asMcuUpdate,   {},                   {},      kFull,    kDspNone, kClean}},
{"oversize@dsp:0",          kNever, 1, 0, {kStalled,  usRunCommands,        "Dsp Program",         kRun, kHeld, 1, asDspDownload, {},                   {},      kFull,    kDspPart, kClean}},
{"oversize@dsp:407",        kNever, 1, 0, {kStalled,  usRunCommands,        "Dsp Progrmming 406",  kRun, kHeld, 1, asDspDownload, {},                   {},      kFull,    kDspPart, kClean}},
{"oversize@dsp:813",        kNever, 1, 0, {kStalled,  usRunCommands,        "Dsp Progrmming 812",  kRun, kHeld, 1, asDspDownload, {},                   {},      kFull,    kDspFull, kClean}},
{"oversize@cmd:0x12",       kNever, 1, 0, {kStalled,  usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"oversize@cmd:0x04",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},

// ---- read-error: the host's next read fails, then the answer follows ----
{"read-error@connect",      kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kReadError, kOk},    {},      kFull,    kDspFull, kClean}},
{"read-error@sync-package", kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kReadError, kOk},    {},      kFull,    kDspFull, kClean}},
{"read-error@firmware-version", kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kReadError, kOk},    {},      kFull,    kDspFull, kClean}},
{"read-error@device-id",    kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kReadError, kOk},    {},      kFull,    kDspFull, kClean}},
{"read-error@read-config",  kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kReadError, kOk},    {},      kFull,    kDspFull, kClean}},
{"read-error@sync-program", kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kReadError, kOk},    {},      kFull,    kDspFull, kClean}},
{"read-error@start-program", kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kReadError, kOk},    {},      kFull,    kDspFull, kClean}},
{"read-error@data:0",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kReadError, kOk},    {},      kFull,    kDspFull, kClean}},
{"read-error@data:2",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kReadError, kOk},    {},      kFull,    kDspFull, kClean}},
{"read-error@data:4",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kReadError, kOk},    {},      kFull,    kDspFull, kClean}},
{"read-error@reset",        kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kReadError, kOk},    {},      kFull,    kDspFull, kClean}},
{"read-error@cmd:0x10",     kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kReadError, kOk},    {},      kFull,    kDspFull, kClean}},
{"read-error@cmd:0x10:2",   kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kReadError, kOk},    {},      kFull,    kDspFull, kClean}},
{"read-error@cmd:0x13",     kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kReadError, kOk},    {},      kFull,    kDspFull, kClean}},
{"read-error@cmd:0x08",     kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kReadError, kOk},    {},      kFull,    kDspFull, kClean}},
{"read-error@param:0",      kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kReadError, kOk},    {},      kFull,    kDspFull, kClean}},
{"read-error@cmd:0x1A",     kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kReadError, kOk},    {},      kFull,    kDspFull, kClean}},
{"read-error@param:5",      kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kReadError, kOk},    {},      kFull,    kDspFull, kClean}},
{"read-error@param:10",     kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kReadError, kOk},    {},      kFull,    kDspFull, kClean}},
{"read-error@dsp:0",        kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kReadError, kOk},    {},      kFull,    kDspFull, kClean}},
{"read-error@dsp:407",      kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kReadError, kOk},    {},      kFull,    kDspFull, kClean}},
{"read-error@dsp:813",      kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kReadError, kOk},    {},      kFull,    kDspFull, kClean}},
{"read-error@cmd:0x12",     kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kReadError, kOk},    {},      kFull,    kDspFull, kClean}},
{"read-error@cmd:0x04",     kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kReadError, kOk},    {},      kFull,    kDspFull, kClean}},

// ---- early: the boot loader answers at once, without processing or erase time ----
{"early@connect",           kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"early@sync-package",      kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"early@firmware-version",  kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"early@device-id",         kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"early@read-config",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"early@sync-program",      kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"early@start-program",     kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"early@data:0",            kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"early@data:2",            kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"early@data:4",            kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"early@reset",             kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},

// ---- late: the answer comes 120 ms after the request, later than any arming ----
{"late:120@connect",        kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"late:120@sync-package",   kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"late:120@firmware-version", kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"late:120@device-id",      kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"late:120@read-config",    kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"late:120@sync-program",   kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"late:120@start-program",  kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"late:120@data:0",         kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"late:120@data:2",         kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"late:120@data:4",         kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"late:120@reset",          kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"late:120@cmd:0x10",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"late:120@cmd:0x10:2",     kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"late:120@cmd:0x13",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"late:120@cmd:0x08",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"late:120@param:0",        kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"late:120@cmd:0x1A",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"late:120@param:5",        kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"late:120@param:10",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"late:120@dsp:0",          kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"late:120@dsp:407",        kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"late:120@dsp:813",        kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"late:120@cmd:0x12",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"late:120@cmd:0x04",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"late:450@cmd:0x10",       kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},

// ---- stuck, no fault, two units ----
{"",                        kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"stuck:5@data:0",          kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kCorrupt, kDspFull, kClean}},
{"stuck:5@data:2",          kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kCorrupt, kDspFull, kClean}},
{"stuck:5@data:4",          kNever, 1, 0, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kCorrupt, kDspFull, kClean}},
{"",                        kNever, 2, 1, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
{"no-reply@connect",        kNever, 2, 1, {kStalled,  usConnect,            "Connect",             kUpd, kHeld, 1, asMcuUpdate,   {},                   {},      kBlank,   kDspNone, kClean}},
{"unplug@data:2",           kNever, 2, 1, {kStopped,  usVersionCheck,       "Mcu Programing 2",    kGone, kFree, 1, asMcuUpdate,   {},                   {},      kData2,   kDspNone, kClean}},
{"unplug@param:5",          kBack, 2, 1, {kCompleted, usRunCommands,        "Dsp Progrmming 813",  kRun, kHeld, 0, asNone,        {kOk},                {},      kFull,    kDspFull, kClean}},
  };
  return kCases;
}
// clang-format on

}  // namespace kv::matrix
