// Squash kinds of an export, as stored in subclient properties.
#pragma once

enum ZELQUAYSquashType {
    ZEL_QUAY_NO_ROOT_SQUASH = 0,
    ZEL_QUAY_ROOT_SQUASH = 1,
    ZEL_QUAY_ALL_SQUASH = 2
};
