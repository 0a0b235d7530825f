// The version quayd and quayadm report with --version.
#pragma once

constexpr char kQuaydVersion[] = "0.16.0";
