#include "companion/SensorCompanion.h"

int main(int argc, char** argv) { return quorvantile::SensorCompanion::main(argc, argv); }
