// The packet framer on a real port over a line, in each of the three hand-offs: the
// received blocks reach it through its link, on the thread the mode dispatches on.
#include "PortTestSupport.h"
#include "cport/ComDataPacket.h"

#include <gtest/gtest.h>

#include <thread>

namespace zv {
namespace {

using namespace test;

class ComDataPacketOnPort : public ::testing::TestWithParam<TSyncMethod> {
protected:
    void SetUp() override {
        if (const std::string why = MissingLine(); !why.empty())
            GTEST_SKIP() << why;
    }
};

TEST_P(ComDataPacketOnPort, FramesWhatTheLineDelivers) {
    LinePort p(GetParam());
    EventLog log;
    std::atomic<bool> onMainThread{true};
    const auto mainThread = std::this_thread::get_id();
    {
        TComDataPacket framer;
        framer.SetStartString("<");
        framer.SetStopString(">");
        framer.OnPacket = [&](TObject* sender, const std::string& s) {
            if (sender != &framer || std::this_thread::get_id() != mainThread)
                onMainThread = false;
            log.Add("P:" + s);
        };
        framer.OnDiscard = [&](TObject*, const std::string& s) { log.Add("D:" + s); };
        framer.SetComPort(p.port.get());
        p.port->OnRxChar = [&](TObject*, std::int32_t) { log.Add("OnRxChar"); };
        p.port->Open();

        p.line->Write("x<one><tw");
        ASSERT_TRUE(log.WaitFor("P:one"));
        p.line->Write("o>");
        ASSERT_TRUE(log.WaitFor("P:two"));
        PumpFor(20ms);
        EXPECT_EQ(log.Take(), (std::vector<std::string>{"D:x", "P:one", "P:two"}));
        EXPECT_EQ(onMainThread, GetParam() != smNone);

        p.port->Close();
        p.port->OnRxChar = nullptr;
    }
    EXPECT_EQ(p.port->LinkCount(), 0); // the framer unregistered its link when it went
}

INSTANTIATE_TEST_SUITE_P(AllModes, ComDataPacketOnPort,
                         ::testing::Values(smThreadSync, smWindowSync, smNone),
                         [](const ::testing::TestParamInfo<TSyncMethod>& param) {
                             switch (param.param) {
                             case smThreadSync:
                                 return std::string("ThreadSync");
                             case smWindowSync:
                                 return std::string("WindowSync");
                             case smNone:
                                 return std::string("None");
                             }
                             return std::string("Unknown");
                         });

} // namespace
} // namespace zv
