// HeadlessStore.cpp: the comments of the settings file.
#include "headless/HeadlessStore.h"

namespace
{
const SRegValueComment g_comments[] = {
    {"Auto Start",
     "; Windows program only: 1 starts it at logon. Numbers are 4-byte little-endian hex values:\r\n"
     "; hex:01,00,00,00 is 1 (on), hex:00,00,00,00 is 0 (off).\r\n"},
    {"Service Address",
     "; The address and port to serve: family 2 (little-endian), port (big-endian), IPv4 address,\r\n"
     "; 8 zero bytes. 127.0.0.1:1080 (this machine only) is\r\n"
     "; hex:02,00,04,38,7f,00,00,01,00,00,00,00,00,00,00,00; 0.0.0.0 serves every local address,\r\n"
     "; which makes an open proxy unless \"IP Filter\" or \"Socks5 Auth\" restricts it.\r\n"},
    {"Socks5", "; 1 serves SOCKS5 clients, 0 refuses them.\r\n"},
    {"Socks4", "; 1 serves SOCKS4 clients, 0 refuses them (SOCKS4 clients cannot give a password).\r\n"},
    {"Log Folder", "; The folder of the session log, a string.\r\n"},
    {"Log", "; 1 writes a session log per run (ServerLog.txt, ServerLog[1].txt, ...), 0 writes none.\r\n"},
    {"IP Ranges",
     "; The allowed client address ranges, 8 bytes each: the first and the last address, each a\r\n"
     "; little-endian 32-bit number. 192.168.1.0 - 192.168.1.255 is 00,01,a8,c0,ff,01,a8,c0.\r\n"},
    {"IP Filter", "; 1 admits only clients in \"IP Ranges\", 0 admits every client.\r\n"},
    {"Socks5 Userid", "; The SOCKS5 user name, a string; compared without regard to case.\r\n"},
    {"Socks5 Password", "; The SOCKS5 password, enciphered as the Windows program stores it. Set it with\r\n"
                        "; tollgated --user NAME --password-file FILE --save.\r\n"},
    {"Socks5 Auth", "; 1 requires the user name and password from SOCKS5 clients, 0 requires nothing.\r\n"},
    {"Connection Limit", "; How many clients are served at once, 1 to 9999 (9999 is hex:0f,27,00,00).\r\n"},
    {"setonce",
     "; Written by the first start; the Windows program opens its Options on a run without it.\r\n"},
    {nullptr, nullptr},
};
} // namespace

const SRegValueComment* SettingComments()
{
    return g_comments;
}
