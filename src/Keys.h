// The characters that have keys, for the tool and for the recorder, which
// writes scripts for the tool: the table stands here only.
#ifndef KESTROV_KEYS_H
#define KESTROV_KEYS_H

struct Key {
    char c;
    unsigned long code;
};

// Every character with a key of its own; 'u' and 'Q' are handled in processKey.
constexpr Key keyTable[] = {
    {'0', 0x10000}, {'1', 0x10001}, {'2', 0x10002}, {'3', 0x10003}, {'4', 0x10004},
    {'5', 0x10005}, {'6', 0x10006}, {'7', 0x10007}, {'8', 0x10008}, {'9', 0x10009},
    {'\n', 0x1000A}, {' ', 0x1000B}, {'a', 0x1000B},
    {'i', 0x1000C}, {'k', 0x1000D}, {'j', 0x1000E}, {'l', 0x1000F},
    {'U', 0x10010}, {'O', 0x10011}, {'J', 0x10012}, {'L', 0x10013},
    {'F', 0x10014}, {'B', 0x10015}, {'P', 0x10016}, {'A', 0x10017},
    {'p', 0x10018}, {'s', 0x10019}, {'E', 0x1001A}, {'f', 0x1001B},
    {'b', 0x1001C}, {'z', 0x1001D}, {'x', 0x1001E}, {'r', 0x1001F},
    {'m', 0x10020}, {'n', 0x10021}, {'e', 0x10022}, {'q', 0x10022},
    {'o', 0x10023}, {'W', 0x10025}, {'X', 0x10026},
};
constexpr unsigned long firstSequenceKey = 0x10027;  // u1; u8 is 0x1002E

#endif
