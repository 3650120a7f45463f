#include <cstdio>

// Until the service host exists the program says so instead of pretending to run a gateway.
int main()
{
    std::fputs("corvane-service: this build has no service host yet; "
               "nothing was installed, started or changed.\n",
               stderr);
    return 1;
}
