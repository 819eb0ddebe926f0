// ECP's key names (their case aside) and the button each presses, by the
// Linux key that LIRC's face names it by; or no button, and why. ECP's
// face, the manual page (built from these lines) and the tests read this
// table alone: one entry a line.
#ifndef KESTROVD_ECP_KEYS_H
#define KESTROVD_ECP_KEYS_H

struct EcpKey {
    const char* name;
    const char* key;  // null: no button
    const char* why;  // of no button, to the client and in the manual page
};

constexpr EcpKey ecpKeys[] = {
    {"Home", "KEY_MENU", nullptr},
    {"Rev", "KEY_REWIND", nullptr},
    {"Fwd", "KEY_FASTFORWARD", nullptr},
    {"Play", "KEY_PLAY", nullptr},
    {"Select", "KEY_OK", nullptr},
    {"Left", "KEY_LEFT", nullptr},
    {"Right", "KEY_RIGHT", nullptr},
    {"Down", "KEY_DOWN", nullptr},
    {"Up", "KEY_UP", nullptr},
    {"Back", "KEY_BACK", nullptr},
    {"InstantReplay", "KEY_PREVIOUS", nullptr},
    {"Info", "KEY_INFO", nullptr},
    {"Backspace", nullptr, "no button deletes a character: the remote types digits alone"},
    {"Search", nullptr, "the remote has no search button"},
    {"Enter", "KEY_ENTER", nullptr},
    {"PowerOff", nullptr, "the remote's one power button toggles: send Power"},
    {"PowerOn", nullptr, "the remote's one power button toggles: send Power"},
    {"Power", "KEY_POWER", nullptr},
    {"VolumeMute", "KEY_MUTE", nullptr},
    {"VolumeUp", nullptr, "the remote has no volume buttons, only mute"},
    {"VolumeDown", nullptr, "the remote has no volume buttons, only mute"},
    {"ChannelUp", "KEY_PAGEUP", nullptr},
    {"ChannelDown", "KEY_PAGEDOWN", nullptr},
    {"Lit_0", "KEY_NUMERIC_0", nullptr},
    {"Lit_1", "KEY_NUMERIC_1", nullptr},
    {"Lit_2", "KEY_NUMERIC_2", nullptr},
    {"Lit_3", "KEY_NUMERIC_3", nullptr},
    {"Lit_4", "KEY_NUMERIC_4", nullptr},
    {"Lit_5", "KEY_NUMERIC_5", nullptr},
    {"Lit_6", "KEY_NUMERIC_6", nullptr},
    {"Lit_7", "KEY_NUMERIC_7", nullptr},
    {"Lit_8", "KEY_NUMERIC_8", nullptr},
    {"Lit_9", "KEY_NUMERIC_9", nullptr},
};

#endif
