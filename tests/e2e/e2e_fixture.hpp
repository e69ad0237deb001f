#pragma once
// A whole engine on the virtual unit: the state, a recorder window, the 1 ms
// dispatcher timer and the unit's ports opened as the dialog opens them.
#include <gtest/gtest.h>

#include <memory>
#include <span>

#include "emulator/virtual_unit.hpp"
#include "engine/engine.hpp"
#include "engine/images.hpp"
#include "support/recorder_window.hpp"
#include "support/virtual_port.hpp"

namespace ql5::testing {

class EngineOnUnit : public ::testing::Test {
  protected:
    void TearDown() override {
        st.timer.Stop();
        st.midiOut.Close();
        st.midiIn.Close();
    }

    // Plugs in a unit and gets the engine ready, as Execute does.
    void startWith(emulator::UnitConfig cfg = {}, const char* faults = nullptr) {
        if (faults != nullptr) {
            std::string error;
            auto script = emulator::parseFaultScript(faults, &error);
            ASSERT_TRUE(script.has_value()) << error;
            cfg.faults = *script;
        }
        unit = std::make_unique<emulator::VirtualUnit>(cfg);
        st.window = &window;
        window.attach(&st);
        st.timing = shortTiming();
        engine::startDispatcher(st);
        ASSERT_TRUE(openUnitPorts(st));
        st.busy.store(1);
        st.replyEvent.reset();
    }

    static std::span<const std::uint8_t> image(std::uint32_t id) {
        const engine::ImageBytes img = engine::loadImage(id);
        return {img.data, static_cast<std::size_t>(img.length)};
    }

    // The unit's flash holds every image of the plan at its address.
    void expectFlashHoldsTheImages() {
        for (const engine::FlashPlanRow& row : engine::FlashPlan) {
            if (row.operation == engine::kOperationWrite) {
                const std::vector<std::uint32_t> blocks =
                    unit->differingBlocks(row.address, image(row.resourceId));
                EXPECT_TRUE(blocks.empty()) << "image " << row.resourceId << ": " << blocks.size()
                                            << " blocks differ, the first at 0x" << std::hex
                                            << (blocks.empty() ? 0U : blocks.front()) << std::dec;
            }
        }
    }

    std::unique_ptr<emulator::VirtualUnit> unit;
    RecorderWindow window;
    engine::UpdateState st;
};

}  // namespace ql5::testing
