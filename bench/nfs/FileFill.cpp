#include "FileFill.h"

#include "ClientGroup.h"
#include "SmallFileWriter.h"

bool FileFill::Fill(const FileLayout& layout, long first, long end) const {
    if (first >= end) return true;
    ClientGroup group(url_, clients_);
    if (!group.Mount()) return false;
    const SmallFileWriter writer;
    double seconds = 0;
    return group.Run(
        [&](NfsConnection& connection, int client) {
            for (long i = first + client; i < end; i += clients_) {
                if (!writer.Write(connection, layout.PathOf(i))) return false;
            }
            return true;
        },
        seconds);
}
