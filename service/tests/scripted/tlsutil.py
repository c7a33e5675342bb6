"""A throw-away certificate authority and a server certificate for 127.0.0.1 and
localhost, made with the openssl command into a folder of the test's, so the
bridges' TLS clients (which always verify) can be tested against scripted and
real servers on loopback with --tls-ca."""
import os
import ssl
import subprocess


def make_certs(folder):
    """Writes ca.pem, server.pem and server.key into folder; returns their paths."""
    os.makedirs(folder, exist_ok=True)
    ca_key, ca = os.path.join(folder, "ca.key"), os.path.join(folder, "ca.pem")
    key, csr, cert = (os.path.join(folder, n) for n in ("server.key", "server.csr", "server.pem"))
    ext = os.path.join(folder, "server.ext")
    run = lambda *args: subprocess.run(args, check=True, capture_output=True)
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca_key, "-out", ca,
        "-days", "2", "-subj", "/CN=vimo test CA")
    run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr, "-subj", "/CN=localhost")
    with open(ext, "w") as f:
        f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n")
    run("openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial", "-out", cert,
        "-days", "2", "-extfile", ext)
    return {"ca": ca, "cert": cert, "key": key}


def server_context(certs):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(certs["cert"], certs["key"])
    return ctx
