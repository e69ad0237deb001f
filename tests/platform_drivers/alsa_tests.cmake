# Included by CMakeLists.txt here when the ALSA driver was built.
ql5_test(ql5_alsa_seq_codec_test SOURCES alsa_seq_codec_test.cpp
         DEPS ql5_platform_mm LABELS platform)
ql5_test(ql5_alsa_port_rules_test SOURCES alsa_port_rules_test.cpp
         DEPS ql5_platform_mm LABELS platform)
ql5_test(ql5_alsa_driver_test SOURCES alsa_driver_test.cpp
         DEPS ql5_platform_mm LABELS platform)
# The driver's sequencer side against a stand-in for the kernel's sequencer:
# fake_alsa_seq.cpp defines alsa-lib's sequencer functions in the program.
ql5_test(ql5_alsa_driver_fake_test SOURCES alsa_driver_fake_test.cpp fake_alsa_seq.cpp
         DEPS ql5_platform_mm LABELS platform)
# A card's port: stand-ins for the sequencer and for the card's rawmidi device.
ql5_test(ql5_alsa_rawmidi_fake_test
         SOURCES alsa_rawmidi_fake_test.cpp fake_alsa_seq.cpp fake_alsa_rawmidi.cpp
         DEPS ql5_platform_mm LABELS platform)
