// COM initialisation and the task scheduler's root folder through the Win32-shaped calls, on both
// backends: a task registered from its XML is there until deleted, and a missing one is
// HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) to look up and to delete.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/platform.h"
#include "support/conformance_host.h"

namespace {

using namespace win;

constexpr char16_t kTaskXml[] =
    u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n"
    u"<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\r\n"
    u"  <Triggers><LogonTrigger><Enabled>true</Enabled></LogonTrigger></Triggers>\r\n"
    u"  <Settings><Enabled>true</Enabled></Settings>\r\n"
    u"  <Actions Context=\"Author\"><Exec><Command>C:\\Windows\\notepad.exe</Command></Exec></Actions>\r\n"
    u"</Task>\r\n";

TEST(Tasks, ComCountsItsInitialisationsPerThread) {
  qztest::ConformanceHost host;
  // A thread of its own: the test program's main thread may have COM set up already.
  std::thread([] {
    EXPECT_EQ(Tasks().CoInitializeEx(COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(Tasks().CoInitializeEx(COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(Tasks().CoInitializeEx(COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    // Only the task scheduler is made here.
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(Tasks().CoCreateInstance(IID_ITaskService, CLSCTX_INPROC_SERVER, IID_ITaskService, &object),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(object, nullptr);
    Tasks().CoUninitialize();
    Tasks().CoUninitialize();
  }).join();
}

TEST(Tasks, ARegisteredTaskIsThereUntilDeleted) {
  qztest::ConformanceHost host;
  std::thread([] {
    ASSERT_EQ(Tasks().CoInitializeEx(COINIT_MULTITHREADED), S_OK);
    void* object = nullptr;
    ASSERT_EQ(Tasks().CoCreateInstance(CLSID_TaskScheduler, CLSCTX_INPROC_SERVER, IID_ITaskService, &object), S_OK);
    auto* service = static_cast<ITaskService*>(object);
    ASSERT_EQ(service->Connect(), S_OK);
    ITaskFolder* folder = nullptr;
    ASSERT_EQ(service->GetFolder(u"\\", &folder), S_OK);
    GUID g;
    ASSERT_EQ(Com().CoCreateGuid(&g), S_OK);
    const std::string id = UuidToStringA(g).substr(0, 8);
    const std::u16string name = u"qzTest" + std::u16string(id.begin(), id.end());

    const HRESULT missing = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(folder->GetTask(name), missing);
    EXPECT_EQ(folder->DeleteTask(name, 0), missing);
    ASSERT_EQ(folder->RegisterTask(name, kTaskXml, TASK_CREATE_OR_UPDATE), S_OK);
    EXPECT_EQ(folder->GetTask(name), S_OK);
    EXPECT_EQ(folder->RegisterTask(name, kTaskXml, TASK_CREATE_OR_UPDATE), S_OK);
    EXPECT_EQ(folder->DeleteTask(name, 0), S_OK);
    EXPECT_EQ(folder->GetTask(name), missing);
    EXPECT_EQ(folder->DeleteTask(name, 0), missing);
    folder->Release();
    service->Release();
    Tasks().CoUninitialize();
  }).join();
}

}  // namespace
