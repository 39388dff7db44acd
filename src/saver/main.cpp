// Tolvar: the screen saver. Everything is in tolvar.h.

#include "saver/tolvar.h"

int main(int argc, char** argv) {
    return SaverMain(argc, argv);
}
