#include "SmallFileWorkload.h"

#include "ClientGroup.h"
#include "Figure.h"
#include "FileLayout.h"
#include "SmallFileWriter.h"

bool SmallFileWorkload::Run() const {
    const int clients = options_.clients;
    const FileLayout layout(options_.dir, clients);
    ClientGroup group(options_.url, clients);
    if (!group.Mount() || !layout.Create(group.First())) return false;
    const SmallFileWriter writer;
    double seconds = 0;
    const bool ok = group.Run(
        [&](NfsConnection& connection, int client) {
            for (long i = 0; i < options_.files; ++i) {
                if (!writer.Write(connection, layout.PathOf(i * clients + client))) return false;
            }
            return true;
        },
        seconds);
    if (!ok) return false;
    const std::string name = "small_files_" + std::to_string(clients) + (clients == 1 ? "_client" : "_clients");
    PrintFigure(name, double(options_.files) * clients / seconds, "files/s");
    return true;
}
