#include "service/dcf_prog.h"

int main(int argc, char **argv)
{
    return tempusd_main(argc, argv);
}
