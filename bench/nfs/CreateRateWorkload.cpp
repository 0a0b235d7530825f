#include "CreateRateWorkload.h"

#include "ClientGroup.h"
#include "Figure.h"
#include "FileFill.h"
#include "SmallFileWriter.h"

#include <algorithm>

bool CreateRateWorkload::TimeWindow(long first, long end, const std::string& figure) const {
    ClientGroup group(options_.url, 1);
    if (!group.Mount()) return false;
    const SmallFileWriter writer;
    double seconds = 0;
    const bool ok = group.Run(
        [&](NfsConnection& connection, int) {
            for (long i = first; i < end; ++i) {
                if (!writer.Write(connection, layout_.PathOf(i))) return false;
            }
            return true;
        },
        seconds);
    if (ok) PrintFigure(figure, double(end - first) / seconds, "files/s");
    return ok;
}

bool CreateRateWorkload::Run() const {
    const long window = std::min(options_.window, options_.files / 2);
    const long last = options_.files - window;
    NfsConnection setup;
    if (!setup.Mount(options_.url) || !layout_.Create(setup)) return false;
    const std::string prefix = "create_" + options_.name;
    return TimeWindow(0, window, prefix + "_first") &&
           FileFill(options_.url, options_.fillClients).Fill(layout_, window, last) &&
           TimeWindow(last, options_.files, prefix + "_last");
}
