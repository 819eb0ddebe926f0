// What each key code stands for on a remote control: the button's name, as
// the trace writes it, and the Linux key that the evdev library sends for it.
// 0x10024 has no button.
#ifndef CASCADE_BUTTONS_H
#define CASCADE_BUTTONS_H

#include <linux/input-event-codes.h>

struct Button {
    unsigned long code;
    const char* name;
    unsigned short linuxKey;
};

constexpr Button buttons[] = {
    {0x10000, "0", KEY_NUMERIC_0}, {0x10001, "1", KEY_NUMERIC_1}, {0x10002, "2", KEY_NUMERIC_2},
    {0x10003, "3", KEY_NUMERIC_3}, {0x10004, "4", KEY_NUMERIC_4}, {0x10005, "5", KEY_NUMERIC_5},
    {0x10006, "6", KEY_NUMERIC_6}, {0x10007, "7", KEY_NUMERIC_7}, {0x10008, "8", KEY_NUMERIC_8},
    {0x10009, "9", KEY_NUMERIC_9},
    {0x1000A, "enter", KEY_ENTER},
    {0x1000B, "select", KEY_OK},
    {0x1000C, "arrow-up", KEY_UP},
    {0x1000D, "arrow-down", KEY_DOWN},
    {0x1000E, "arrow-left", KEY_LEFT},
    {0x1000F, "arrow-right", KEY_RIGHT},
    {0x10010, "page-up", KEY_PAGEUP},
    {0x10011, "page-down", KEY_PAGEDOWN},
    {0x10012, "previous", KEY_PREVIOUS},
    {0x10013, "next", KEY_NEXT},
    {0x10014, "fast-forward", KEY_FASTFORWARD},
    {0x10015, "rewind", KEY_REWIND},
    {0x10016, "pause", KEY_PAUSE},
    {0x10017, "audio", KEY_AUDIO},
    {0x10018, "play", KEY_PLAY},
    {0x10019, "stop", KEY_STOP},
    {0x1001A, "guide", KEY_EPG},
    {0x1001B, "favourites", KEY_FAVORITES},
    {0x1001C, "back", KEY_BACK},
    {0x1001D, "zoom", KEY_ZOOM},
    {0x1001E, "text", KEY_TEXT},
    {0x1001F, "record", KEY_RECORD},
    {0x10020, "menu", KEY_MENU},
    {0x10021, "info", KEY_INFO},
    {0x10022, "exit", KEY_EXIT},
    {0x10023, "options", KEY_OPTION},
    {0x10025, "power", KEY_POWER},
    {0x10026, "mute", KEY_MUTE},
    {0x10027, "f1", KEY_F1}, {0x10028, "f2", KEY_F2}, {0x10029, "f3", KEY_F3}, {0x1002A, "f4", KEY_F4},
    {0x1002B, "f5", KEY_F5}, {0x1002C, "f6", KEY_F6}, {0x1002D, "f7", KEY_F7}, {0x1002E, "f8", KEY_F8},
};

inline const Button* findButton(unsigned long code) {
    for (const Button& button : buttons)
        if (button.code == code) return &button;
    return nullptr;
}

#endif
