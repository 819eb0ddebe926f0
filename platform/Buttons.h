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
    const char* linuxName;  // for messages: "KEY_OK" says more than 352
};
#define LINUX_KEY(key) key, #key

constexpr Button buttons[] = {
    {0x10000, "0", LINUX_KEY(KEY_NUMERIC_0)}, {0x10001, "1", LINUX_KEY(KEY_NUMERIC_1)},
    {0x10002, "2", LINUX_KEY(KEY_NUMERIC_2)}, {0x10003, "3", LINUX_KEY(KEY_NUMERIC_3)},
    {0x10004, "4", LINUX_KEY(KEY_NUMERIC_4)}, {0x10005, "5", LINUX_KEY(KEY_NUMERIC_5)},
    {0x10006, "6", LINUX_KEY(KEY_NUMERIC_6)}, {0x10007, "7", LINUX_KEY(KEY_NUMERIC_7)},
    {0x10008, "8", LINUX_KEY(KEY_NUMERIC_8)}, {0x10009, "9", LINUX_KEY(KEY_NUMERIC_9)},
    {0x1000A, "enter", LINUX_KEY(KEY_ENTER)},
    {0x1000B, "select", LINUX_KEY(KEY_OK)},
    {0x1000C, "arrow-up", LINUX_KEY(KEY_UP)},
    {0x1000D, "arrow-down", LINUX_KEY(KEY_DOWN)},
    {0x1000E, "arrow-left", LINUX_KEY(KEY_LEFT)},
    {0x1000F, "arrow-right", LINUX_KEY(KEY_RIGHT)},
    {0x10010, "page-up", LINUX_KEY(KEY_PAGEUP)},
    {0x10011, "page-down", LINUX_KEY(KEY_PAGEDOWN)},
    {0x10012, "previous", LINUX_KEY(KEY_PREVIOUS)},
    {0x10013, "next", LINUX_KEY(KEY_NEXT)},
    {0x10014, "fast-forward", LINUX_KEY(KEY_FASTFORWARD)},
    {0x10015, "rewind", LINUX_KEY(KEY_REWIND)},
    {0x10016, "pause", LINUX_KEY(KEY_PAUSE)},
    {0x10017, "audio", LINUX_KEY(KEY_AUDIO)},
    {0x10018, "play", LINUX_KEY(KEY_PLAY)},
    {0x10019, "stop", LINUX_KEY(KEY_STOP)},
    {0x1001A, "guide", LINUX_KEY(KEY_EPG)},
    {0x1001B, "favourites", LINUX_KEY(KEY_FAVORITES)},
    {0x1001C, "back", LINUX_KEY(KEY_BACK)},
    {0x1001D, "zoom", LINUX_KEY(KEY_ZOOM)},
    {0x1001E, "text", LINUX_KEY(KEY_TEXT)},
    {0x1001F, "record", LINUX_KEY(KEY_RECORD)},
    {0x10020, "menu", LINUX_KEY(KEY_MENU)},
    {0x10021, "info", LINUX_KEY(KEY_INFO)},
    {0x10022, "exit", LINUX_KEY(KEY_EXIT)},
    {0x10023, "options", LINUX_KEY(KEY_OPTION)},
    {0x10025, "power", LINUX_KEY(KEY_POWER)},
    {0x10026, "mute", LINUX_KEY(KEY_MUTE)},
    {0x10027, "f1", LINUX_KEY(KEY_F1)}, {0x10028, "f2", LINUX_KEY(KEY_F2)},
    {0x10029, "f3", LINUX_KEY(KEY_F3)}, {0x1002A, "f4", LINUX_KEY(KEY_F4)},
    {0x1002B, "f5", LINUX_KEY(KEY_F5)}, {0x1002C, "f6", LINUX_KEY(KEY_F6)},
    {0x1002D, "f7", LINUX_KEY(KEY_F7)}, {0x1002E, "f8", LINUX_KEY(KEY_F8)},
};
#undef LINUX_KEY

inline const Button* findButton(unsigned long code) {
    for (const Button& button : buttons)
        if (button.code == code) return &button;
    return nullptr;
}

#endif
