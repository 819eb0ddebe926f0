// The device's platform library, libCascade.so: key events go into the
// device's input handling as if a remote-control button had been pressed.
#ifndef CASCADE_INPUT_H
#define CASCADE_INPUT_H

class CascadeInput {
public:
    static void DispatchKeyDown(unsigned long key);
    static void DispatchKeyUp(unsigned long key);
};

#endif
