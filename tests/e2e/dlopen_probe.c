/* A process that knows nothing of the project: it loads the module by path
 * with RTLD_NOW and calls its C entry point, as any host would. */
#include <dlfcn.h>
#include <stdio.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: dlopen_probe MODULE\n");
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    void* (*loadFSM)(void) = (void* (*)(void))dlsym(library, "LoadFSM");
    if (loadFSM == NULL) {
        fprintf(stderr, "dlsym LoadFSM: %s\n", dlerror());
        return 1;
    }
    void* module = loadFSM();
    if (module == NULL || loadFSM() != module) {
        fprintf(stderr, "LoadFSM did not return one module object\n");
        return 1;
    }
    printf("LoadFSM ok\n");
    return 0;
}
