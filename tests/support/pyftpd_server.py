#!/usr/bin/python3
"""FTP server for the end-to-end tests, on pyftpdlib.

Usage: pyftpd_server.py ROOT USER PASSWORD PORT

Serves ROOT on 127.0.0.1 to one user with every permission. PORT 0 lets the
system choose; the port actually used is printed on standard output as the
first and only line, once the server listens. The log goes to standard error.
Runs until it gets SIGTERM.
"""
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main(argv):
    if len(argv) != 5:
        sys.stderr.write(__doc__)
        return 2
    root, user, password, port = argv[1:]

    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")

    class Handler(FTPHandler):
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
