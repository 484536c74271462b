#include "app/CVelundraApp.h"

int main(int argc, char** argv) {
    CVelundraApp app(argc, argv);
    return app.Run();
}
