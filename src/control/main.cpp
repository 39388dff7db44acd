// TolvarCtrl: the resident control program. Everything is in tolvarctrl.h.

#include "control/tolvarctrl.h"

int main(int argc, char** argv) {
    return TolvarCtrlMain(argc, argv);
}
