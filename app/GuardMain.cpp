// proxyhost-guard: started by the host at the end of launching, it switches the proxies off
// when the host ends without having done so itself.
#include "shutdown/ProxyGuard.h"

int main(int argc, char* argv[]) { return ProxyGuard::runGuard(argc, argv); }
