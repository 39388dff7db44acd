// The control program's entry as a helper program, so that tests run it as a real
// process (second instance, broadcasts) without depending on where the program itself
// is built.

#include "control/tolvarctrl.h"

int main(int argc, char** argv) {
    return TolvarCtrlMain(argc, argv);
}
