#pragma once

// The window tests and the screenshot program drive the state over the setup core's substitutes.
#include "../SetupTestSupport.h"

#include <QCoreApplication>

namespace quorvantile::setup::testing {

// Runs everything the main executor and the widgets have queued.
inline void settle()
{
    for (int round = 0; round < 20; ++round) {
        QCoreApplication::processEvents();
    }
}

} // namespace quorvantile::setup::testing
