// The service control manager, the present devices, the SMART disks, the hardware profile
// sections and the machine's state across attaches.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "emu/profile.h"
#include "emu/world.h"
#include "tests/emu/hardware_helpers.h"
#include "tests/unit/package_builder.h"

namespace {

constexpr uint32_t kReadWrite = os::kGenericRead | os::kGenericWrite;

os::Handle OpenAddmem() {
  return os::CreateFile("\\\\.\\ADDMEM", kReadWrite, 0, os::kOpenExisting, os::kFileAttributeNormal);
}

// Installs the ADDMEM service from imagePath as an installer does; the service handle's
// start result.
bool InstallAddmem(const char* imagePath, uint32_t* startError) {
  os::Handle scm = os::OpenSCManager();
  if (scm == nullptr) return false;
  os::Handle svc = os::CreateKernelDriverService(scm, "ADDMEM", "ADDMEM", imagePath);
  if (svc == nullptr) {
    os::CloseServiceHandle(scm);
    return false;
  }
  bool started = os::StartService(svc);
  *startError = started ? 0 : os::GetLastError();
  os::CloseServiceHandle(svc);
  os::CloseServiceHandle(scm);
  return true;
}

void RemoveAddmem() {
  os::Handle scm = os::OpenSCManager();
  ASSERT_NE(scm, nullptr);
  os::Handle svc = os::OpenService(scm, "ADDMEM");
  if (svc != nullptr) {
    os::StopService(svc);
    os::DeleteService(svc);
    os::CloseServiceHandle(svc);
  }
  os::CloseServiceHandle(scm);
}

TEST_F(EmulatedHardwareTest, StartedServiceBringsTheDeviceAndStoppingTakesItAway) {
  MakeWorld();
  PutFile("C:\\Work\\ADDMEM.SYS", testpkg::DriverImage(true));
  EXPECT_FALSE(os::IsValid(OpenAddmem()));
  uint32_t startError = 1;
  ASSERT_TRUE(InstallAddmem("C:\\Work\\ADDMEM.SYS", &startError));
  EXPECT_EQ(startError, 0u);
  emu::ServiceState s = emu::Service("addmem");
  EXPECT_TRUE(s.running);
  EXPECT_EQ(s.imagePath, "C:\\Work\\ADDMEM.SYS");
  os::Handle h = OpenAddmem();
  EXPECT_TRUE(os::IsValid(h));
  os::CloseHandle(h);

  RemoveAddmem();
  EXPECT_FALSE(emu::Service("ADDMEM").exists) << "deleted once stopped and its last handle closed";
  EXPECT_FALSE(os::IsValid(OpenAddmem()));
  std::vector<nlohmann::json> calls = Events("service");
  std::vector<std::string> names;
  for (const auto& c : calls) names.push_back(c["call"]);
  EXPECT_EQ(names, (std::vector<std::string>{"OpenSCManager", "CreateService", "StartService", "OpenSCManager",
                                             "OpenService", "StopService", "DeleteService"}));
}

TEST_F(EmulatedHardwareTest, ServiceThatCannotStartGivesNoDevice) {
  struct Row {
    const char* name;
    const char* patch;
    std::string image;  // empty: no file
    uint32_t error;
  };
  // The default notebook runs 64-bit Windows: it starts x64 drivers only.
  const Row rows[] = {
      {"image file missing", "{}", "", 2},
      {"start fails", R"({"faults":{"serviceStartFails":true}})", testpkg::DriverImage(true), 1275},
      {"i386 driver", "{}", testpkg::DriverImage(false), 193},
      {"not a program", "{}", "driver", 193},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    MakeWorld(r.patch);
    if (!r.image.empty()) PutFile("C:\\Work\\ADDMEM.SYS", r.image);
    uint32_t startError = 0;
    ASSERT_TRUE(InstallAddmem("C:\\Work\\ADDMEM.SYS", &startError));
    EXPECT_EQ(startError, r.error);
    EXPECT_TRUE(emu::Service("ADDMEM").exists);
    EXPECT_FALSE(emu::Service("ADDMEM").running);
    EXPECT_FALSE(os::IsValid(OpenAddmem()));
  }
}

TEST_F(EmulatedHardwareTest, StaleServiceIsReplacedByDeletingAndCreatingAgain) {
  MakeWorld(R"({"services":{"addmem":{"state":"stale","imagePath":"C:\\Old\\ADDMEM.SYS"}}})");
  emu::ServiceState stale = emu::Service("ADDMEM");
  EXPECT_TRUE(stale.exists);
  EXPECT_FALSE(stale.running);
  EXPECT_FALSE(os::IsValid(OpenAddmem()));

  PutFile("C:\\Work\\ADDMEM.SYS", testpkg::DriverImage(true));
  uint32_t startError = 0;
  EXPECT_FALSE(InstallAddmem("C:\\Work\\ADDMEM.SYS", &startError)) << "the name is taken";
  EXPECT_EQ(Events("service").back()["call"], "CreateService");
  EXPECT_EQ(Events("service").back()["error"], os::kErrorServiceExists);
  RemoveAddmem();
  ASSERT_TRUE(InstallAddmem("C:\\Work\\ADDMEM.SYS", &startError));
  EXPECT_EQ(emu::Service("ADDMEM").imagePath, "C:\\Work\\ADDMEM.SYS");
  EXPECT_TRUE(os::IsValid(OpenAddmem()));
}

TEST_F(EmulatedHardwareTest, ServiceMarkedForDeletionStaysWhileAHandleHoldsIt) {
  MakeWorld(R"({"services":{"addmem":{"state":"running"}}})");
  EXPECT_TRUE(emu::Service("ADDMEM").running);
  os::Handle scm = os::OpenSCManager();
  os::Handle held = os::OpenService(scm, "ADDMEM");
  RemoveAddmem();
  EXPECT_TRUE(emu::Service("ADDMEM").markedForDelete);
  EXPECT_EQ(os::CreateKernelDriverService(scm, "ADDMEM", "ADDMEM", "C:\\X.SYS"), nullptr);
  EXPECT_EQ(os::GetLastError(), 1072u);
  os::CloseServiceHandle(held);
  EXPECT_FALSE(emu::Service("ADDMEM").exists);
  os::CloseServiceHandle(scm);
}

TEST_F(EmulatedHardwareTest, ServiceManagerRefusals) {
  MakeWorld(R"({"faults":{"scmAccessDenied":true}})");
  EXPECT_EQ(os::OpenSCManager(), nullptr);
  EXPECT_EQ(os::GetLastError(), os::kErrorAccessDenied);

  MakeWorld(R"({"windows":{"platform":"9x","major":4,"minor":10}})");
  EXPECT_EQ(os::OpenSCManager(), nullptr) << "the 9x family has no service control manager";

  MakeWorld();
  os::Handle scm = os::OpenSCManager();
  EXPECT_EQ(os::OpenService(scm, "ADDMEM"), nullptr);
  EXPECT_EQ(os::GetLastError(), 1060u);
  EXPECT_FALSE(os::CloseHandle(scm)) << "service handles close with CloseServiceHandle";
  EXPECT_TRUE(os::CloseServiceHandle(scm));
  EXPECT_FALSE(os::CloseServiceHandle(scm));
}

// ---- present devices ----

TEST_F(EmulatedHardwareTest, PresentDevicesAreEnumeratedWithClassAndStatus) {
  MakeWorld(R"({"devices":[{"class":"Mouse","description":"PS/2 Compatible Mouse"},
                           {"class":null,"description":"Unknown device"},
                           {"class":"MOUSE","problem":"0x1D","status":"0x0180200A"},
                           {"class":"Mouse","statusFails":true}]})");
  os::Handle set = os::OpenPresentDevices();
  ASSERT_TRUE(os::IsValid(set));
  os::PresentDevice d;
  ASSERT_TRUE(os::GetPresentDevice(set, 0, &d));
  EXPECT_TRUE(d.hasClass);
  EXPECT_STREQ(d.className, "Mouse");
  ASSERT_TRUE(os::GetPresentDevice(set, 1, &d));
  EXPECT_FALSE(d.hasClass);
  ASSERT_TRUE(os::GetPresentDevice(set, 2, &d));
  EXPECT_STREQ(d.className, "MOUSE");
  EXPECT_FALSE(os::GetPresentDevice(set, 4, &d));
  uint32_t status = 0, problem = 0;
  ASSERT_TRUE(os::GetDeviceNodeStatus(set, 0, &status, &problem));
  EXPECT_EQ(status & os::kDnDisableable, os::kDnDisableable);
  EXPECT_EQ(problem, 0u);
  ASSERT_TRUE(os::GetDeviceNodeStatus(set, 2, &status, &problem));
  EXPECT_EQ(problem, os::kCmProbHardwareDisabled);
  EXPECT_FALSE(os::GetDeviceNodeStatus(set, 3, &status, &problem));
  os::ClosePresentDevices(set);
}

TEST_F(EmulatedHardwareTest, DisablingAndEnablingIsRecordedAndKept) {
  MakeWorld(R"({"windows":{"wow64":false},"devices":[{"class":"Mouse"},{"class":"Mouse","change":"refused"},
                           {"class":"Mouse","status":"0x0180000A"},{"class":"Mouse","change":"fails"}]})");
  os::Handle set = os::OpenPresentDevices();
  EXPECT_TRUE(os::ChangeDeviceState(set, 0, false));
  EXPECT_FALSE(os::ChangeDeviceState(set, 1, false)) << "installer parameters refused";
  EXPECT_TRUE(os::ChangeDeviceState(set, 2, false)) << "not disableable: the installer does nothing, silently";
  EXPECT_TRUE(os::ChangeDeviceState(set, 3, false));
  std::vector<emu::PresentDeviceState> d = emu::PresentDevices();
  EXPECT_FALSE(d[0].enabled);
  EXPECT_EQ(d[0].problem, 0x16u);
  EXPECT_TRUE(d[1].enabled);
  EXPECT_TRUE(d[2].enabled);
  EXPECT_TRUE(d[3].enabled);
  uint32_t status = 0, problem = 0;
  os::GetDeviceNodeStatus(set, 0, &status, &problem);
  EXPECT_EQ(problem, 0x16u);
  std::vector<nlohmann::json> events = Events("deviceState");
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0]["result"], "changed");
  EXPECT_EQ(events[1]["result"], "refused");
  EXPECT_EQ(events[2]["result"], "unchanged");
  os::ClosePresentDevices(set);

  std::string root = root_;
  emu::DetachWorld();
  std::string error;
  ASSERT_TRUE(emu::AttachWorld(root, &error)) << error;
  EXPECT_FALSE(emu::PresentDevices()[0].enabled) << "a disabled device stays disabled";
  set = os::OpenPresentDevices();
  EXPECT_TRUE(os::ChangeDeviceState(set, 0, true));
  EXPECT_TRUE(emu::PresentDevices()[0].enabled);
  EXPECT_TRUE(os::ChangeDeviceState(set, 0, true));
  EXPECT_EQ(emu::PresentDevices()[0].changes, 2) << "enabling an enabled device changes nothing";
  os::ClosePresentDevices(set);
}

TEST_F(EmulatedHardwareTest, ClassInstallerRefusesAThirtyTwoBitProcessOnSixtyFourBitWindows) {
  MakeWorld(R"({"windows":{"wow64":true},"devices":[{"class":"Mouse"},{"class":"Mouse","change":"refused"}]})");
  os::Handle set = os::OpenPresentDevices();
  EXPECT_TRUE(os::ChangeDeviceState(set, 0, false)) << "the parameters are accepted";
  EXPECT_EQ(os::GetLastError(), 0xE0000235u) << "ERROR_IN_WOW64 from the class installer";
  EXPECT_FALSE(os::ChangeDeviceState(set, 1, false));
  EXPECT_EQ(os::GetLastError(), 87u);
  os::ClosePresentDevices(set);
  EXPECT_TRUE(emu::PresentDevices()[0].enabled);
  EXPECT_EQ(emu::PresentDevices()[0].changes, 0);
  std::vector<nlohmann::json> events = Events("deviceState");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]["result"], "installerRefused");
  EXPECT_EQ(events[0]["error"], 0xE0000235u);
  EXPECT_EQ(events[1]["result"], "refused");
}

// ---- SMART disks ----

std::vector<uint8_t> IdentifyRequest(int n, uint8_t command) {
  std::vector<uint8_t> in(32, 0);
  PutU32(&in, 0, 512);
  in[5] = 1;
  in[6] = 1;
  in[9] = n % 2 == 0 ? 0xA0 : 0xB0;
  in[10] = command;
  in[12] = static_cast<uint8_t>(n);
  return in;
}

os::Handle OpenDrive(int n) {
  std::string path = "\\\\.\\PhysicalDrive" + std::to_string(n);
  return os::CreateFile(path.c_str(), kReadWrite, os::kShareRead | os::kShareWrite, os::kOpenExisting, 0);
}

TEST_F(EmulatedHardwareTest, SmartVersionAndIdentifyDescribeEachDrive) {
  MakeWorld(R"({"drives":[{"kind":"ata"},{"kind":"ata","securityEnabled":true},null,{"kind":"atapi"}]})");
  os::Handle h = OpenDrive(1);
  ASSERT_TRUE(os::IsValid(h));
  std::vector<uint8_t> version(24, 0xEE);
  uint32_t returned = 0;
  ASSERT_TRUE(os::DeviceIoControl(h, 0x00074080, nullptr, 0, version.data(), 24, &returned));
  EXPECT_EQ(returned, 24u);
  EXPECT_EQ(version[3], 0x83) << "ATA on drives 0 and 1, ATAPI on drive 3";

  struct Row {
    int drive;
    uint8_t command;
    uint16_t word0, word128;
    uint8_t driverError;
  };
  const Row rows[] = {
      {0, 0xEC, 0x0040, 0x0001, 0},
      {1, 0xEC, 0x0040, 0x0003, 0},
      {3, 0xA1, 0x85C0, 0x0000, 0},
      {3, 0xEC, 0, 0, 1},  // the ATAPI device aborts IDENTIFY DEVICE
      {0, 0xA1, 0, 0, 1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.drive) + " " + std::to_string(r.command));
    os::Handle d = OpenDrive(r.drive);
    ASSERT_TRUE(os::IsValid(d));
    std::vector<uint8_t> in = IdentifyRequest(r.drive, r.command);
    std::vector<uint8_t> out(528, 0xEE);
    ASSERT_TRUE(os::DeviceIoControl(d, 0x0007C088, in.data(), 32, out.data(), 528, &returned));
    EXPECT_EQ(returned, 528u);
    EXPECT_EQ(GetU32(out, 0), 512u);
    EXPECT_EQ(out[4], r.driverError);
    EXPECT_EQ(out[16] | (out[17] << 8), r.word0);
    EXPECT_EQ(out[16 + 256] | (out[17 + 256] << 8), r.word128);
    os::CloseHandle(d);
  }
  EXPECT_FALSE(os::IsValid(OpenDrive(2))) << "no drive 2";
  EXPECT_EQ(os::GetLastError(), os::kErrorFileNotFound);
  EXPECT_FALSE(os::IsValid(OpenDrive(4)));
  os::CloseHandle(h);
}

TEST_F(EmulatedHardwareTest, IdentifyRequestIsCheckedFieldByField) {
  MakeWorld(R"({"drives":[{"kind":"ata"},{"kind":"ata"}]})");
  struct Row {
    const char* name;
    size_t offset;
    uint8_t value;
  };
  const Row rows[] = {
      {"buffer size", 1, 0x01},  {"features", 4, 1},       {"sector count", 5, 2},
      {"sector number", 6, 0},   {"cylinder low", 7, 1},   {"drive/head of an odd drive", 9, 0xA0},
      {"command", 10, 0xB0},     {"drive number", 12, 0},  {"reserved", 20, 1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    os::Handle d = OpenDrive(1);
    std::vector<uint8_t> in = IdentifyRequest(1, 0xEC);
    in[r.offset] = r.value;
    std::vector<uint8_t> out(528);
    EXPECT_FALSE(os::DeviceIoControl(d, 0x0007C088, in.data(), 32, out.data(), 528, nullptr));
    EXPECT_EQ(os::GetLastError(), os::kErrorInvalidParameter);
    os::CloseHandle(d);
  }
  os::Handle d = OpenDrive(1);
  std::vector<uint8_t> in = IdentifyRequest(1, 0xEC);
  std::vector<uint8_t> out(529);
  EXPECT_FALSE(os::DeviceIoControl(d, 0x0007C088, in.data(), 32, out.data(), 529, nullptr)) << "output of 529";
  EXPECT_TRUE(os::DeviceIoControl(d, 0x0007C088, in.data(), 32, out.data(), 528, nullptr));
  os::CloseHandle(d);
}

TEST_F(EmulatedHardwareTest, DriveWithoutSmartInterfaceAnswersNoVersion) {
  MakeWorld(R"({"drives":[{"kind":"ata","smart":false}]})");
  os::Handle d = OpenDrive(0);
  std::vector<uint8_t> version(24);
  EXPECT_FALSE(os::DeviceIoControl(d, 0x00074080, nullptr, 0, version.data(), 24, nullptr));
  os::CloseHandle(d);
}

// ---- profile sections and persistence ----

TEST(HardwareProfile, BadHardwareFieldsAreNamedWithTheirReason) {
  struct Row {
    const char* patch;
    const char* error;
  };
  const Row rows[] = {
      {R"({"bios":{"model":"R58"}})", "bios.model: expected 4 or 5"},
      {R"({"bios":{"vendor":"award"}})", "bios.vendor: expected \"phoenix\" or \"ami\""},
      {R"({"bios":{"partNumber":"0470"}})", "bios.partNumber"},
      {R"({"ec":{"chipId2E":"0x100"}})", "ec.chipId2E"},
      {R"({"ec":{"ram":{"E887":1}}})", "ec.ram"},
      {R"({"ec":{"pendingByte":{"side":"left","value":1}}})", "ec.pendingByte"},
      {R"({"flash":{"size":4096}})", "flash.size"},
      {R"({"dmi":{"entryPoint":"0xE0000"}})", "dmi.entryPoint"},
      {R"({"devices":[{"klass":"Mouse"}]})", "devices[0].klass: unknown field"},
      {R"({"drives":[{"kind":"scsi"}]})", "drives[0].kind"},
      {R"({"faults":{"rejectRequests":"some"}})", "faults.rejectRequests"},
      {R"({"faults":{"noSuchKnob":true}})", "faults.noSuchKnob: unknown field"},
      {R"({"memory":{"patches":[{"address":"0xFFFFF","text":"AB"}]}})", "memory.patches[0]"},
  };
  for (const Row& r : rows) {
    nlohmann::json profile;
    std::string error;
    EXPECT_FALSE(emu::CompleteProfile(std::string(r.patch), &profile, &error)) << r.patch;
    EXPECT_NE(error.find(r.error), std::string::npos) << r.patch << " gave: " << error;
  }
}

TEST(HardwareProfile, NumbersMayBeWrittenInHexAndAreKeptAsNumbers) {
  nlohmann::json p;
  std::string error;
  ASSERT_TRUE(emu::CompleteProfile(
      std::string(R"({"smi":{"commandPort":"0xB2"},"ec":{"ram":{"0xe887":"0x41"}},"devices":[{"class":"Mouse"}]})"),
      &p, &error))
      << error;
  EXPECT_EQ(p["smi"]["commandPort"], 0xB2);
  EXPECT_EQ(p["ec"]["ram"], (nlohmann::json{{"0xE887", 0x41}}));
  EXPECT_EQ(p["devices"][0]["enabled"], true) << "elements take their defaults";
  EXPECT_EQ(p["bios"]["vendor"], "phoenix") << "untouched sections keep theirs";
}

TEST_F(EmulatedHardwareTest, MachineStateSurvivesDetachAndAttach) {
  MakeWorld();
  emu::SetEcRam(0x1234, 0x56);
  emu::WriteFlash(0x100, {9, 8, 7});
  emu::SetDmiString("purchaseDate", "04/01/2012");
  Out(0x70, 0x30);
  Out(0x71, 0x00);
  KbcCommand(0xAD);
  emu::SetFault("smiNeverCompletes", true);
  std::string root = root_;
  emu::DetachWorld();

  std::ifstream record(root + "/hardware.jsonl");
  std::string first;
  ASSERT_TRUE(std::getline(record, first)) << "the record reached the root";
  EXPECT_NE(first.find("portWrite"), std::string::npos);

  std::string error;
  ASSERT_TRUE(emu::AttachWorld(root, &error)) << error;
  EXPECT_EQ(emu::EcRam(0x1234), 0x56);
  EXPECT_EQ(emu::FlashContents()[0x101], 8);
  EXPECT_EQ(emu::DmiString("purchaseDate"), "04/01/2012");
  EXPECT_EQ(emu::Cmos(0, 0x30), 0);
  EXPECT_FALSE(emu::KeyboardController().keyboardEnabled);
  EXPECT_EQ(emu::Fault("smiNeverCompletes"), true);
  EXPECT_TRUE(emu::PortWrites().empty()) << "the in-memory record belongs to one attach";
}

TEST_F(EmulatedHardwareTest, ChildProcessesSeeAndChangeTheSameMachine) {
  MakeWorld();
  std::ifstream in(EMU_TEST_CHILD, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  std::string child = bytes.str();
  ASSERT_FALSE(child.empty());
  PutFile("C:\\Tools\\child.exe", child);
  emu::SetEcRam(0x10, 0x77);
  os::ProcessInfo info;
  ASSERT_TRUE(os::CreateProcess(nullptr, "C:\\Tools\\child.exe hardware", "C:\\Tools", &info));
  ASSERT_EQ(os::WaitForSingleObject(info.process, 30000), os::kWaitObject0);
  uint32_t code = 1;
  ASSERT_TRUE(os::GetExitCodeProcess(info.process, &code));
  EXPECT_EQ(code, 0u);
  os::CloseHandle(info.process);
  os::CloseHandle(info.thread);
  EXPECT_EQ(emu::EcRam(0x11), 0x77) << "the child saw the parent's change";
  EXPECT_EQ(emu::FlashContents()[0], 0xC3);
  EXPECT_EQ(Memory(0x100000000ull - emu::FlashSize(), 1)[0], 0xC3);
  EXPECT_EQ(emu::Cmos(0, 0x40), 0x99);
  std::ifstream record(root_ + "/hardware.jsonl");
  std::string all((std::istreambuf_iterator<char>(record)), std::istreambuf_iterator<char>());
  EXPECT_NE(all.find(R"({"portWrite":113,"value":153,"width":1})"), std::string::npos) << "the child's port writes reach the report";
}

TEST(HardwareProfile, ShippedHardwareProfilesAreValid) {
  for (const char* name : {"default.json", "ec-mailbox.json", "ec-mailbox-inactive.json", "ami.json",
                           "win7-x86.json", "win7-x86-no-qtv.json", "vista-x64.json", "xp-x86.json", "win98.json",
                           "secured-disk.json", "phoenix-stray-ami-marker.json"}) {
    std::string text, error;
    ASSERT_TRUE(emu::ReadTextFile(MachineProfilePath(name), &text, &error)) << error;
    nlohmann::json p;
    EXPECT_TRUE(emu::CompleteProfile(text, &p, &error)) << name << ": " << error;
  }
}

}  // namespace
