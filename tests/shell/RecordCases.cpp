#include "RecordCases.h"

#include <string_view>

namespace kt::test {
namespace {

Bytes BytesOf(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

// A package whose images are SHA-256's own test messages (FIPS 180-4), so
// their digests are known without this program.
std::shared_ptr<const KVF_TYPE> M2Package()
{
    auto package = std::make_shared<KVF_TYPE>();
    package->FILE_NAME = "/srv/firmware/telviks-m2-3.0.12.kvf";
    package->NAME = "\xD2\xE5\xEB\xE2\xE8\xEA\xF1 M2";  // "Телвикс M2" in Windows-1251
    package->CORE_VERS = "3.0.12";
    package->CORE_DATE = "11.12.2026";
    package->DEVICE = 42;
    package->CORE = BytesOf("abc");
    package->CORE_SIZE = 3;
    package->FLASH = BytesOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq");
    package->FLASH_SIZE = 56;
    return package;
}

RecordContext Context(int exitStatus)
{
    RecordContext context;
    context.time = "2026-12-11T04:05:06+03:00";
    context.host = "bench-7";
    context.programVersion = "3.0";
    context.exitStatus = exitStatus;
    return context;
}

DeviceState Flasher(const char* software)
{
    return {"flasher", software, "01.02.2025", "M2 rev.B", "11.12.2026 04:05:07", "0123456789AB"};
}

StepRecord Step(const char* name, StepOutcome outcome, double seconds, int blocks = 0, int blocksDone = 0)
{
    return {name, outcome, seconds, blocks, blocksDone};
}

std::vector<RecordCase> MakeCases()
{
    std::vector<RecordCase> cases;

    RecordCase update{"SuccessfulUpdate", Context(0), M2Package(), {}, {}};
    update.report.operation = "update";
    update.report.port = "/dev/ttyUSB0";
    update.report.ports = {{"/dev/ttyUSB0", PortOutcome::Found, ""}};
    update.report.before = Flasher("2.9.1");
    update.report.after = Flasher("3.0.12");
    update.report.steps = {Step("connect", StepOutcome::Ok, 0.25),
                           Step("readout", StepOutcome::Ok, 1.5),
                           Step("core", StepOutcome::Ok, 12.3456, 120, 120),
                           Step("media", StepOutcome::Ok, 30, 64, 64),
                           Step("clock", StepOutcome::Ok, 0.1),
                           Step("readout_after", StepOutcome::Ok, 1.4)};
    update.report.ok = true;
    update.report.seconds = 45.67891;
    update.report.bytesSent = 120 * 260 + 64 * 512;
    update.expected = {
        {"/time", R"("2026-12-11T04:05:06+03:00")"},
        {"/host", R"("bench-7")"},
        {"/program_version", R"("3.0")"},
        {"/operation", R"("update")"},
        {"/port", R"("/dev/ttyUSB0")"},
        {"/package", R"({"file":"/srv/firmware/telviks-m2-3.0.12.kvf","name":"Телвикс M2","core_version":"3.0.12",)"
                     R"("core_date":"11.12.2026","model":42,"core_size":3,"media_size":56,)"
                     R"("core_sha256":"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",)"
                     R"("media_sha256":"248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"})"},
        {"/device_before", R"({"mode":"flasher","software":"2.9.1","date":"01.02.2025","hardware":"M2 rev.B",)"
                           R"("clock":"11.12.2026 04:05:07","identity":"0123456789AB"})"},
        {"/device_after/software", R"("3.0.12")"},
        {"/steps/2", R"({"name":"core","outcome":"ok","seconds":12.346,"blocks":120,"blocks_done":120})"},
        {"/steps/5/name", R"("readout_after")"},
        {"/core_retries", "0"},
        {"/failed_step", "null"},
        {"/failed_block", "null"},
        {"/stop_reason", R"("none")"},
        {"/ok", "true"},
        {"/seconds", "45.679"},
        {"/bytes_sent", "63968"},
        {"/exit_status", "0"},
    };
    cases.push_back(update);

    RecordCase coreFails{"CoreFailsAtBlock7AfterTwoRetries", Context(1), M2Package(), update.report, {}};
    coreFails.report.after.reset();
    coreFails.report.steps = {Step("connect", StepOutcome::Ok, 0.25), Step("readout", StepOutcome::Ok, 1.5),
                              Step("core", StepOutcome::Failed, 3.2, 120, 7),
                              Step("media", StepOutcome::Skipped, 0, 64, 0)};
    coreFails.report.coreRetries = 2;
    coreFails.report.failedStep = "core";
    coreFails.report.failedBlock = 7;
    coreFails.report.stopReason = StopReason::Failed;
    coreFails.report.ok = false;
    coreFails.report.seconds = 5.0;
    coreFails.report.bytesSent = 7 * 260;
    coreFails.expected = {
        {"/steps/2", R"({"name":"core","outcome":"failed","seconds":3.200,"blocks":120,"blocks_done":7})"},
        {"/steps/3/outcome", R"("skipped")"},
        {"/core_retries", "2"},
        {"/failed_step", R"("core")"},
        {"/failed_block", "7"},
        {"/stop_reason", R"("failed")"},
        {"/ok", "false"},
        {"/device_after", "null"},
        {"/bytes_sent", "1820"},
        {"/exit_status", "1"},
    };
    cases.push_back(coreFails);

    RecordCase userStop{"StoppedByTheUserDuringMedia", Context(1), M2Package(), update.report, {}};
    userStop.report.after.reset();
    userStop.report.steps = {Step("connect", StepOutcome::Ok, 0.25), Step("readout", StepOutcome::Ok, 1.5),
                             Step("core", StepOutcome::Ok, 12.3456, 120, 120),
                             Step("media", StepOutcome::Stopped, 14.0005, 64, 30)};
    userStop.report.stopReason = StopReason::User;
    userStop.report.ok = false;
    userStop.report.seconds = 28.1;
    userStop.report.bytesSent = 120 * 260 + 30 * 512;
    userStop.expected = {
        {"/steps/3", R"({"name":"media","outcome":"stopped","seconds":14.001,"blocks":64,"blocks_done":30})"},
        {"/stop_reason", R"("user")"},
        {"/failed_step", "null"},
        {"/ok", "false"},
        {"/device_after", "null"},
    };
    cases.push_back(userStop);

    RecordCase noDevice{"NoDeviceOnThreePorts", Context(1), nullptr, {}, {}};
    noDevice.report.operation = "info";
    noDevice.report.ports = {
        {"/dev/ttyS0", PortOutcome::NoAnswer, "no answer to the presence probe"},
        {"/dev/ttyUSB0", PortOutcome::NoPermission, "Permission denied: add the user to the dialout group"},
        {"/dev/ttyACM0", PortOutcome::Busy, "held by minicom, process 4242"},
    };
    noDevice.report.steps = {Step("connect", StepOutcome::Failed, 2.0)};
    noDevice.report.failedStep = "connect";
    noDevice.report.stopReason = StopReason::NoDevice;
    noDevice.report.seconds = 2.0;
    noDevice.expected = {
        {"/operation", R"("info")"},
        {"/port", "null"},
        {"/ports_tried", R"([{"port":"/dev/ttyS0","outcome":"no_answer","detail":"no answer to the presence probe"},)"
                         R"({"port":"/dev/ttyUSB0","outcome":"no_permission",)"
                         R"("detail":"Permission denied: add the user to the dialout group"},)"
                         R"({"port":"/dev/ttyACM0","outcome":"busy","detail":"held by minicom, process 4242"}])"},
        {"/package", "null"},
        {"/device_before", "null"},
        {"/device_after", "null"},
        {"/stop_reason", R"("no_device")"},
        {"/bytes_sent", "0"},
    };
    cases.push_back(noDevice);

    // What a device with a damaged memory, or another device on the line,
    // may send: quotes, a backslash, control characters, Windows-1251 and
    // broken UTF-8.
    RecordCase garbled{"InfoWithDeviceBytesThatAreNotUtf8", Context(0), nullptr, {}, {}};
    garbled.report.operation = "info";
    garbled.report.port = "COM3";
    garbled.report.ports = {{"COM3", PortOutcome::Found, ""}};
    DeviceState device;
    device.mode = "flasher";
    device.software = "v\"1\\2\x01\t\xC0\xAF\xFF end\x7F";
    device.date = std::string("\xE2\x82\0z", 4);
    device.hardware = "\xCF\xEE\xF0\xF2 \xE2\x80\xA8";  // "Порт" in Windows-1251, U+2028
    device.clock = "11.12.2026 04:05:06";
    garbled.report.before = device;
    garbled.report.steps = {Step("connect", StepOutcome::Ok, 0.3), Step("readout", StepOutcome::Ok, 1.2)};
    garbled.report.ok = true;
    garbled.report.seconds = 1.5;
    garbled.expected = {
        {"/port", R"("COM3")"},
        {"/device_before/software", R"("v\"1\\2\u0001\t��� end\u007f")"},
        {"/device_before/date", R"("�\u0000z")"},
        {"/device_before/hardware", R"("���� \u2028")"},
        {"/device_before/identity", "null"},
        {"/device_after", "null"},
        {"/package", "null"},
        {"/ok", "true"},
    };
    cases.push_back(garbled);

    return cases;
}

}  // namespace

std::string RecordCase::Record() const
{
    RecordContext withPackage = context;
    withPackage.package = package.get();
    return FormatRecord(withPackage, report);
}

const std::vector<RecordCase>& RecordCases()
{
    static const std::vector<RecordCase> cases = MakeCases();
    return cases;
}

}  // namespace kt::test
