#include "app/Application.h"

int main(int argc, char** argv) {
    if (!norvane::displayAvailable()) return 1;
    return norvane::runApplication(argc, argv);
}
