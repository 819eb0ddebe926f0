// What each key code stands for on a remote control: the button's name, as
// the trace writes it, and the Linux keys that the evdev library may send for
// it, best first. Our own remote sends the first; an existing device gets
// the first one it has, since remote-control receivers speak the keys of
// their own remote (Linux's keymaps give the digits as KEY_NUMERIC_n or
// KEY_n, select as KEY_OK, KEY_ENTER or KEY_SELECT, and so on).
// 0x10024 has no button.
#ifndef CASCADE_BUTTONS_H
#define CASCADE_BUTTONS_H

#include <climits>
#include <linux/input-event-codes.h>

// A device's keys as the kernel gives them (EVIOCGBIT, EVIOCGKEY): a bit a key.
constexpr unsigned bitsPerLong = sizeof(unsigned long) * CHAR_BIT;
using KeyBits = unsigned long[KEY_MAX / bitsPerLong + 1];

inline bool isSet(const KeyBits& bits, unsigned key) {
    return (bits[key / bitsPerLong] >> (key % bitsPerLong) & 1UL) != 0;
}

struct LinuxKey {
    unsigned short code;  // 0: no more keys
    const char* name;     // for messages: "KEY_OK" says more than 352
};

struct Button {
    unsigned long code;
    const char* name;
    LinuxKey keys[3];
};
#define KEY(key) {key, #key}

// inline: one table for the whole program, so that a Button* from any file points into it.
inline constexpr Button buttons[] = {
    {0x10000, "0", {KEY(KEY_NUMERIC_0), KEY(KEY_0)}}, {0x10001, "1", {KEY(KEY_NUMERIC_1), KEY(KEY_1)}},
    {0x10002, "2", {KEY(KEY_NUMERIC_2), KEY(KEY_2)}}, {0x10003, "3", {KEY(KEY_NUMERIC_3), KEY(KEY_3)}},
    {0x10004, "4", {KEY(KEY_NUMERIC_4), KEY(KEY_4)}}, {0x10005, "5", {KEY(KEY_NUMERIC_5), KEY(KEY_5)}},
    {0x10006, "6", {KEY(KEY_NUMERIC_6), KEY(KEY_6)}}, {0x10007, "7", {KEY(KEY_NUMERIC_7), KEY(KEY_7)}},
    {0x10008, "8", {KEY(KEY_NUMERIC_8), KEY(KEY_8)}}, {0x10009, "9", {KEY(KEY_NUMERIC_9), KEY(KEY_9)}},
    {0x1000A, "enter", {KEY(KEY_ENTER)}},
    {0x1000B, "select", {KEY(KEY_OK), KEY(KEY_ENTER), KEY(KEY_SELECT)}},
    {0x1000C, "arrow-up", {KEY(KEY_UP)}},
    {0x1000D, "arrow-down", {KEY(KEY_DOWN)}},
    {0x1000E, "arrow-left", {KEY(KEY_LEFT)}},
    {0x1000F, "arrow-right", {KEY(KEY_RIGHT)}},
    {0x10010, "page-up", {KEY(KEY_PAGEUP), KEY(KEY_CHANNELUP)}},
    {0x10011, "page-down", {KEY(KEY_PAGEDOWN), KEY(KEY_CHANNELDOWN)}},
    {0x10012, "previous", {KEY(KEY_PREVIOUS), KEY(KEY_PREVIOUSSONG)}},
    {0x10013, "next", {KEY(KEY_NEXT), KEY(KEY_NEXTSONG)}},
    {0x10014, "fast-forward", {KEY(KEY_FASTFORWARD), KEY(KEY_FORWARD)}},
    {0x10015, "rewind", {KEY(KEY_REWIND)}},
    {0x10016, "pause", {KEY(KEY_PAUSE), KEY(KEY_PLAYPAUSE)}},
    {0x10017, "audio", {KEY(KEY_AUDIO), KEY(KEY_LANGUAGE)}},
    {0x10018, "play", {KEY(KEY_PLAY), KEY(KEY_PLAYPAUSE)}},
    {0x10019, "stop", {KEY(KEY_STOP)}},
    {0x1001A, "guide", {KEY(KEY_EPG)}},
    {0x1001B, "favourites", {KEY(KEY_FAVORITES)}},
    {0x1001C, "back", {KEY(KEY_BACK)}},
    {0x1001D, "zoom", {KEY(KEY_ZOOM)}},
    {0x1001E, "text", {KEY(KEY_TEXT)}},
    {0x1001F, "record", {KEY(KEY_RECORD)}},
    {0x10020, "menu", {KEY(KEY_MENU)}},
    {0x10021, "info", {KEY(KEY_INFO)}},
    {0x10022, "exit", {KEY(KEY_EXIT)}},
    {0x10023, "options", {KEY(KEY_OPTION)}},
    {0x10025, "power", {KEY(KEY_POWER), KEY(KEY_POWER2)}},
    {0x10026, "mute", {KEY(KEY_MUTE)}},
    {0x10027, "f1", {KEY(KEY_F1)}}, {0x10028, "f2", {KEY(KEY_F2)}},
    {0x10029, "f3", {KEY(KEY_F3)}}, {0x1002A, "f4", {KEY(KEY_F4)}},
    {0x1002B, "f5", {KEY(KEY_F5)}}, {0x1002C, "f6", {KEY(KEY_F6)}},
    {0x1002D, "f7", {KEY(KEY_F7)}}, {0x1002E, "f8", {KEY(KEY_F8)}},
};
#undef KEY

inline const Button* findButton(unsigned long code) {
    for (const Button& button : buttons)
        if (button.code == code) return &button;
    return nullptr;
}

#endif
