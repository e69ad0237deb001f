// Reads the unit's three version stamps and reports them beside the ones the
// program carries, without changing anything on the unit.
#include <cstring>

#include "engine/engine.hpp"
#include "engine/images.hpp"

namespace ql5::engine {

int sanitizeVersionText(char (&text)[5]) {
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<signed char>(text[i]);
        if (c < 32 || c > 126) {
            std::memcpy(text, "*.**", 5);
            break;
        }
    }
    return 0;
}

int closePorts(UpdateState& st) {
    st.midiOut.Close();
    st.midiIn.Close();
    return 0;
}

void versionCheckWorker(UpdateState& st) {
    int result = 0;
    char unit[5] = {};
    char carried[5] = {};
    if (identifyDevice(st) != 0 ||
        readMemory(st, kStampSystemAddress, 4, reinterpret_cast<std::uint8_t*>(unit)) != 0) {
        result = -1;
    } else {
        sanitizeVersionText(unit);
        st.deviceVersions.system = unit;
        (void)readResourceBytes(kImageSystem, kStampSystemOffset, 4, carried);
        st.carriedVersions.system = carried;

        if (readMemory(st, kStampPresetAddress, 4, reinterpret_cast<std::uint8_t*>(unit)) == 0) {
            sanitizeVersionText(unit);
            st.deviceVersions.preset = unit;
            std::memset(carried, 0, sizeof carried);
            (void)readResourceBytes(kImagePreset, kStampPresetOffset, 4, carried);
            st.carriedVersions.preset = carried;
        }

        // After an abort there is nobody to read for; do not wait out a
        // read that cannot be answered on the closed ports.
        if (st.closing.load() ||
            readMemory(st, kStampBootAddress, 4, reinterpret_cast<std::uint8_t*>(unit)) != 0) {
            result = -1;
        } else {
            sanitizeVersionText(unit);
            st.deviceVersions.boot = unit;
            std::memset(carried, 0, sizeof carried);
            (void)readResourceBytes(kImageBoot, kStampBootOffset, 4, carried);
            st.carriedVersions.boot = carried;
        }
    }
    closePorts(st);
    st.window->postVersionCheckDone(result);
}

std::string versionReportText(const UpdateState& st) {
    const VersionTexts& d = st.deviceVersions;
    const VersionTexts& c = st.carriedVersions;
    std::string text = "SYSTEM:\t\t" + d.system + " -> " + c.system;
    text += "\nPRESET:\t\t" + d.preset;
    if (!c.preset.empty() && c.preset != d.preset) {
        text += " -> " + c.preset;
    }
    text += "\nBOOT:\t\t" + d.boot;
    if (!c.boot.empty() && c.boot != d.boot) {
        text += " -> " + c.boot;
    }
    return text;
}

void showVersionReport(UpdateState& st) { st.window->showVersionReport(versionReportText(st)); }

int onVersionCheckDone(UpdateState& st, int result) {
    if (result == 0) {
        showVersionReport(st);
    }
    st.window->restoreControls();
    return 0;
}

void abortForClose(UpdateState& st) {
    st.midiOut.Close();
    st.midiIn.Close();
    st.closing.store(true);
    st.replyCode.store(255);
    st.replyEvent.set();
}

}  // namespace ql5::engine
