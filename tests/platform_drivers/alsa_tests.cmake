# Included by CMakeLists.txt here when the ALSA driver was built.
ql5_test(ql5_alsa_seq_codec_test SOURCES alsa_seq_codec_test.cpp
         DEPS ql5_platform_mm LABELS platform)
ql5_test(ql5_alsa_port_rules_test SOURCES alsa_port_rules_test.cpp
         DEPS ql5_platform_mm LABELS platform)
ql5_test(ql5_alsa_driver_test SOURCES alsa_driver_test.cpp
         DEPS ql5_platform_mm LABELS platform)
