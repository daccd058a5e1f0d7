#!/usr/bin/python3
"""FTP server for the end-to-end tests, on pyftpdlib.

Usage: pyftpd_server.py ROOT USER PASSWORD PORT [CERT KEY]

Serves ROOT on 127.0.0.1 to one user with every permission. PORT 0 lets the
system choose; the port actually used is printed on standard output as the
first and only line, once the server listens. The log goes to standard error.
With CERT and KEY it also offers explicit TLS (AUTH TLS), not forced.
Runs until it gets SIGTERM.
"""
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main(argv):
    if len(argv) not in (5, 7):
        sys.stderr.write(__doc__)
        return 2
    root, user, password, port = argv[1:5]

    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")

    base = FTPHandler
    if len(argv) == 7:
        from pyftpdlib.handlers import TLS_FTPHandler
        base = TLS_FTPHandler
        base.certfile = argv[5]
        base.keyfile = argv[6]

    class Handler(base):
        pass

    Handler.authorizer = authorizer
    # Remote names are bytes (old servers send GBK): keep them unchanged on disk
    # and on the wire instead of replacing what is not valid UTF-8.
    Handler.encoding = "utf8"
    Handler.unicode_errors = "surrogateescape"

    logging.basicConfig(level=logging.INFO, stream=sys.stderr,
                        format="%(asctime)s %(message)s")
    server = FTPServer(("127.0.0.1", int(port)), Handler)
    sys.stdout.write("%d\n" % server.address[1])
    sys.stdout.flush()
    server.serve_forever()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
