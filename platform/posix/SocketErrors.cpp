// SocketErrors.cpp (POSIX): the thread's Windows Sockets error and the one errno-to-Windows-Sockets
// table.
#include "platform/posix/SocketInternals.h"

#include <errno.h>

namespace
{

thread_local int t_nSocketError = 0;

struct SErrnoMap
{
    int nErrno;
    int nWsa;
};

const SErrnoMap g_errnoMap[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAENOTSOCK},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EAGAIN, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEINPROGRESS},
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEAFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    // accept reports a queued connection that died of a protocol error as EPROTO, and one whose
    // network went away as ENONET: both are that connection's end, as Winsock would report them.
    {EPROTO, WSAECONNABORTED},
    {ENONET, WSAENETUNREACH},
    {ECONNRESET, WSAECONNRESET},
    // Nothing here shuts a socket down for sending except a close, so EPIPE means that the peer
    // reset or closed the connection: Winsock reports that as a reset.
    {EPIPE, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
};

} // namespace

int SockFail(int nWsaError)
{
    t_nSocketError = nWsaError;
    return SOCKET_ERROR;
}

// Unknown values pass through unchanged: a small number in a text still names its cause.
int WsaFromErrno(int nErrno)
{
    for (const SErrnoMap& m : g_errnoMap)
    {
        if (m.nErrno == nErrno)
            return m.nWsa;
    }
    return nErrno;
}

int SysGetSocketError()
{
    return t_nSocketError;
}

void SysSetSocketError(int nError)
{
    t_nSocketError = nError;
}
