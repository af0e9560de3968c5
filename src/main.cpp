#include "app/Application.h"

int main(int argc, char** argv) {
    return dravane::app::RunDravane(argc, argv);
}
