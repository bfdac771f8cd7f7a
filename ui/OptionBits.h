// The user's options, all but the default folder: bits of the stored "OptionsFlag".
#pragma once

constexpr int OPT_SAVE_PLACEMENT = 0x01;    // store window position and size at close
constexpr int OPT_SAVE_COLUMNS = 0x02;      // store the six column widths at close
constexpr int OPT_TRAY_ON_MINIMIZE = 0x04;  // minimising hides the window, tray icon stays
constexpr int OPT_SPEED_MBPS = 0x08;
constexpr int OPT_SPEED_KBPS = 0x10;  // wins over megabits when both are set
constexpr int OPT_RETRY_5S = 0x20;    // the first retry bit set decides
constexpr int OPT_RETRY_30S = 0x40;
constexpr int OPT_RETRY_60S = 0x80;
constexpr int OPT_ALWAYS_ON_TOP = 0x200;
// A new copy replaces a file of its name that is already there; clear, it goes beside
// it as "name (2).ext". Clear in the default and in every value stored before it.
constexpr int OPT_REPLACE_EXISTING = 0x400;
// Each copy is read back after its last chunk and compared with what was read ("Verify
// each copy"). Clear in the default and in every value stored before it: the read back
// made a big local copy take half as long again to twice as long, too much for a default.
constexpr int OPT_VERIFY = 0x800;

// Used when "OptionsFlag" is absent or unreadable: placement and columns saved, hide on
// minimise, megabits, 5-second retries.
constexpr int OPTIONS_DEFAULT = 47;

// Speed units as the kernel takes them.
constexpr int SPEED_UNIT_KBPS = 1;
constexpr int SPEED_UNIT_MBPS = 2;

constexpr bool VerifyFromOptions(int options) { return (options & OPT_VERIFY) != 0; }

// The kernel's watch interval in seconds: 5, 30 or 60; 0 when no retry bit is set and
// the kernel keeps its own period.
constexpr int RetryPeriodFromOptions(int options) {
  if (options & OPT_RETRY_5S) return 5;
  if (options & OPT_RETRY_30S) return 30;
  if (options & OPT_RETRY_60S) return 60;
  return 0;
}

// SPEED_UNIT_KBPS or SPEED_UNIT_MBPS; 0 when neither bit is set and the unit stays.
constexpr int SpeedUnitFromOptions(int options) {
  if (options & OPT_SPEED_KBPS) return SPEED_UNIT_KBPS;
  if (options & OPT_SPEED_MBPS) return SPEED_UNIT_MBPS;
  return 0;
}

// The speed column's unit text: "Kbps", "Mbps", or empty for no unit choice.
constexpr const char* SpeedUnitLabel(int unit) {
  return unit == SPEED_UNIT_KBPS ? "Kbps" : unit == SPEED_UNIT_MBPS ? "Mbps" : "";
}
