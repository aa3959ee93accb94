// scatterdisk: scatters the sectors of a D64 image's file chains without changing what they read.
#include <cstdio>
#include <cstdlib>

#include "image.h"
#include "scrambler.h"

// The names as given; they point into the argument list, which lives as long as the run.
static const char *image_name = "";
static const char *output_name = "";

[[noreturn]] static void usage() {
    printf("scatterdisk v0.1\n"
           "usage: scatterdisk [options]\n"
           "\n"
           "[options]\n"
           "-i [infile]     input d64 image\n"
           "-o [outfile]    output d64 image\n"
           "-?,-h           show this help screen\n");
    exit(-1);
}

int main(int argc, char **argv) {
    if (argc <= 4)
        usage();
    // Every switch is read before any file is touched, so help or a typo anywhere changes nothing.
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (arg[0] != '-')
            usage();
        switch (arg[1]) {
        case 'i':
        case 'o':
            if (i + 1 == argc)
                usage();
            (arg[1] == 'i' ? image_name : output_name) = argv[++i];
            break;
        case '?':
        case 'h':
            usage();
        default:
            printf("error: unknown switch \"%s\"\n\n", arg);
            usage();
        }
    }
    loadd64file(image_name);
    scrambleimage();
    saved64file(output_name);
    return 0;
}
