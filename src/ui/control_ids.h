// Identifiers of the control panel's controls (a button's identifier is its command), the
// trackbar scroll codes and the keys the player answers to.
#pragma once

#include <cstdint>

namespace tarvel {

// Commands: the buttons of the control panel and the playlist's list box.
inline constexpr int kIdPlay = 1000;
inline constexpr int kIdStop = 1001;
inline constexpr int kIdPause = 1002;
inline constexpr int kIdPrevious = 1020;
inline constexpr int kIdNext = 1021;
inline constexpr int kIdStepByStep = 1022;
inline constexpr int kIdClose = 1023;
inline constexpr int kIdOptions = 1024;
inline constexpr int kIdVolume = 1025;
inline constexpr int kIdSoundOnOff = 1026;
inline constexpr int kIdZoomOff = 1027;
inline constexpr int kIdLoopPlay = 1036;
inline constexpr int kIdOpenFiles = 1047;
inline constexpr int kIdFullScreen = 1055;
inline constexpr int kIdFrameRate = 1058;
inline constexpr int kIdPlaylistBox = 1061;
inline constexpr int kIdProgress = 1065;

// Digit displays: frame counter (most significant first), time code, frame rate.
inline constexpr int kIdCounterDigits[5] = {1031, 1032, 1033, 1034, 1046};
inline constexpr int kIdMinutesTens = 1035;
inline constexpr int kIdMinutesUnits = 1039;
inline constexpr int kIdSecondsTens = 1040;
inline constexpr int kIdSecondsUnits = 1041;
inline constexpr int kIdFramesTens = 1044;
inline constexpr int kIdFramesUnits = 1045;
inline constexpr int kIdRateTens = 1048;
inline constexpr int kIdRateUnits = 1049;
inline constexpr int kIdRateTenths = 1051;
// The captions of the frame counter, the time code and the frame rate (FRAME, TIME CODE, F/S).
inline constexpr int kIdFrameCaption = 1037;
inline constexpr int kIdTimeCodeCaption = 1038;
inline constexpr int kIdRateCaption = 1052;
// Sound format indicators.
inline constexpr int kIdChannels = 1053;
inline constexpr int kIdSampleRate = 1054;
// The bitmap picture on the panel has no identifier.
inline constexpr int kIdNone = -1;

// Trackbar scroll codes.
inline constexpr int kScrollLineUp = 0;
inline constexpr int kScrollLineDown = 1;
inline constexpr int kScrollPageUp = 2;
inline constexpr int kScrollPageDown = 3;
inline constexpr int kScrollThumbPosition = 4;
inline constexpr int kScrollThumbTrack = 5;
inline constexpr int kScrollTop = 6;
inline constexpr int kScrollBottom = 7;
inline constexpr int kScrollEndTrack = 8;

// Keys, by virtual-key code.
inline constexpr int kKeyEnter = 0x0D;
inline constexpr int kKeyEscape = 0x1B;
inline constexpr int kKeySpace = 0x20;
inline constexpr int kKeyPageUp = 0x21;
inline constexpr int kKeyPageDown = 0x22;
inline constexpr int kKeyLeft = 0x25;
inline constexpr int kKeyRight = 0x27;
inline constexpr int kKeyDelete = 0x2E;
// Going to another frame.
inline constexpr int kKeyEnd = 0x23;
inline constexpr int kKeyHome = 0x24;
inline constexpr int kKeyComma = 0xBC;
inline constexpr int kKeyPeriod = 0xBE;
// The keyboard's media keys, and the commands of the desktop's media controls (Play, which
// the keyboard's Play key does not send: it switches, as Play/Pause).
inline constexpr int kKeyMediaPause = 0x13;
inline constexpr int kKeyMediaNext = 0xB0;
inline constexpr int kKeyMediaPrevious = 0xB1;
inline constexpr int kKeyMediaStop = 0xB2;
inline constexpr int kKeyMediaPlayPause = 0xB3;
inline constexpr int kKeyMediaPlay = 0xFA;

}  // namespace tarvel
