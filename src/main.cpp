#include "app/Application.h"

int main(int, char** argv) {
    return dravane::app::RunDravane(argv[0]);
}
