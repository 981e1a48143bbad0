#include "program/run.h"

int main(int argc, char** argv)
{
    return kovrentMain(argc, argv);
}
