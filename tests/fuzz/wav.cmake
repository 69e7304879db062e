# The telephony layer needs the SIP library; the WAV unit alone does not.
pkg_check_modules(SPEEXDSP REQUIRED IMPORTED_TARGET speexdsp)
velnaro_fuzz_target(fuzz_wav SOURCES ${CMAKE_SOURCE_DIR}/src/telephony/wav_file.cpp
  LIBS velnaro_platform PkgConfig::SPEEXDSP)
