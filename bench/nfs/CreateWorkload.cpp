#include "CreateWorkload.h"

#include "ClientGroup.h"
#include "Figure.h"
#include "SmallFileWriter.h"

bool CreateWorkload::Run() const {
    ClientGroup group(options_.url, 1);
    if (!group.Mount()) return false;
    const SmallFileWriter writer;
    double seconds = 0;
    const bool ok = group.Run(
        [&](NfsConnection& connection, int) {
            for (long i = options_.from; i < options_.to; ++i) {
                if (!writer.Write(connection, layout_.PathOf(i))) return false;
            }
            return true;
        },
        seconds);
    if (ok) PrintFigure(options_.name, double(options_.to - options_.from) / seconds, "files/s");
    return ok;
}
