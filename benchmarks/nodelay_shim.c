/* Measurement-only LD_PRELOAD shim: turns Nagle's algorithm off (TCP_NODELAY)
 * on every TCP socket of the process it is preloaded into.
 *
 * The product sets no socket option and never links this file. The
 * benchmarks compile it on demand into a build or temporary directory and
 * preload it into their own child processes only, to show what Nagle's
 * algorithm costs:
 *
 *   cc -O2 -shared -fPIC -o nodelay_shim.so benchmarks/nodelay_shim.c -ldl
 *   LD_PRELOAD=$PWD/nodelay_shim.so python3 ...
 *
 * It wraps socket() (sockets a process dials from or listens on) and accept()
 * and accept4() (accepted sockets; Linux copies the option from the listener,
 * but setting it again costs nothing and holds on any kernel). Failures of
 * setsockopt are ignored: the socket may not be TCP after all (a raw or
 * Unix-domain socket), and the call it wraps must behave exactly as before. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/socket.h>

static void set_nodelay(int fd) {
  if (fd < 0) return;
  int saved = errno;
  int domain = 0, type = 0;
  socklen_t len = sizeof domain;
  if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) == 0 && (domain == AF_INET || domain == AF_INET6)) {
    len = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM) {
      int one = 1;
      (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
  }
  errno = saved;
}

// The next definition of `name` (libc's). POSIX lets the object pointer
// that dlsym returns be read as a function pointer this way.
static void next_symbol(void* fn, const char* name) {
  void* symbol = dlsym(RTLD_NEXT, name);
  memcpy(fn, &symbol, sizeof symbol);
}

typedef int (*socket_fn)(int, int, int);
typedef int (*accept_fn)(int, __SOCKADDR_ARG, socklen_t* restrict);
typedef int (*accept4_fn)(int, __SOCKADDR_ARG, socklen_t* restrict, int);

int socket(int domain, int type, int protocol) {
  static socket_fn next;
  if (!next) next_symbol(&next, "socket");
  int fd = next(domain, type, protocol);
  set_nodelay(fd);
  return fd;
}

// __SOCKADDR_ARG: glibc's own parameter type for accept and accept4.
int accept(int fd, __SOCKADDR_ARG addr, socklen_t* restrict len) {
  static accept_fn next;
  if (!next) next_symbol(&next, "accept");
  int conn = next(fd, addr, len);
  set_nodelay(conn);
  return conn;
}

int accept4(int fd, __SOCKADDR_ARG addr, socklen_t* restrict len, int flags) {
  static accept4_fn next;
  if (!next) next_symbol(&next, "accept4");
  int conn = next(fd, addr, len, flags);
  set_nodelay(conn);
  return conn;
}
