// The saver's entry as a helper program, so that tests run it as a real process (second
// instance, preview into another program's window) without depending on where the
// program itself is built.

#include "saver/tolvar.h"

int main(int argc, char** argv) {
    return SaverMain(argc, argv);
}
