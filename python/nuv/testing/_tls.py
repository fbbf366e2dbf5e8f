"""A throwaway certificate authority and the TLS contexts built on it.

The CA lives only as long as the stand-in process. Clients trust it by being
handed ``ca_file`` (for libcurl: ``CURL_CA_BUNDLE``), so nothing here touches
a system trust store.
"""

from __future__ import annotations

import datetime
import ipaddress
import ssl
import threading
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

# EC P-256: key generation takes microseconds, so per-host leaves cost nothing.
_CURVE = ec.SECP256R1()


def _now() -> datetime.datetime:
    return datetime.datetime.now(datetime.UTC)


def _pem_key(key: ec.EllipticCurvePrivateKey) -> bytes:
    return key.private_bytes(
        serialization.Encoding.PEM,
        serialization.PrivateFormat.PKCS8,
        serialization.NoEncryption(),
    )


def _subject_alt_name(host: str) -> x509.GeneralName:
    try:
        return x509.IPAddress(ipaddress.ip_address(host))
    except ValueError:
        return x509.DNSName(host)


class CertificateAuthority:
    """Issues leaf certificates for any host name, cached per name.

    Leaves carry the extensions a strict verifier insists on (Python 3.13
    turns on VERIFY_X509_STRICT by default): key identifiers, serverAuth,
    a non-CA basic constraint.
    """

    def __init__(self, directory: Path) -> None:
        self.directory = directory
        self._key = ec.generate_private_key(_CURVE)
        name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "nuv stand-in test CA")])
        now = _now()
        public = self._key.public_key()
        self._cert = (
            x509.CertificateBuilder()
            .subject_name(name)
            .issuer_name(name)
            .public_key(public)
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=30))
            .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
            .add_extension(
                x509.KeyUsage(
                    digital_signature=True,
                    content_commitment=False,
                    key_encipherment=False,
                    data_encipherment=False,
                    key_agreement=False,
                    key_cert_sign=True,
                    crl_sign=True,
                    encipher_only=False,
                    decipher_only=False,
                ),
                critical=True,
            )
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(public), critical=False)
            .sign(self._key, hashes.SHA256())
        )
        self.ca_file = directory / "ca.pem"
        self.ca_file.write_bytes(self._cert.public_bytes(serialization.Encoding.PEM))
        self._lock = threading.Lock()
        self._contexts: dict[tuple[tuple[str, ...], bool], ssl.SSLContext] = {}
        self._serial = 0

    def _issue(self, hosts: tuple[str, ...], expired: bool) -> tuple[Path, Path]:
        key = ec.generate_private_key(_CURVE)
        now = _now()
        if expired:
            not_before, not_after = now - datetime.timedelta(days=30), now - datetime.timedelta(days=1)
        else:
            not_before, not_after = now - datetime.timedelta(days=1), now + datetime.timedelta(days=30)
        ca_ski = self._cert.extensions.get_extension_for_class(x509.SubjectKeyIdentifier).value
        cert = (
            x509.CertificateBuilder()
            .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, hosts[0][:64])]))
            .issuer_name(self._cert.subject)
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(not_before)
            .not_valid_after(not_after)
            .add_extension(x509.SubjectAlternativeName([_subject_alt_name(h) for h in hosts]), critical=False)
            .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
            .add_extension(
                x509.KeyUsage(
                    digital_signature=True,
                    content_commitment=False,
                    key_encipherment=False,
                    data_encipherment=False,
                    key_agreement=False,
                    key_cert_sign=False,
                    crl_sign=False,
                    encipher_only=False,
                    decipher_only=False,
                ),
                critical=True,
            )
            .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
            .add_extension(x509.AuthorityKeyIdentifier.from_issuer_subject_key_identifier(ca_ski), critical=False)
            .sign(self._key, hashes.SHA256())
        )
        # ssl.SSLContext only loads certificates from files.
        self._serial += 1
        cert_path = self.directory / f"leaf-{self._serial}.pem"
        key_path = self.directory / f"leaf-{self._serial}.key"
        cert_path.write_bytes(cert.public_bytes(serialization.Encoding.PEM))
        key_path.write_bytes(_pem_key(key))
        return cert_path, key_path

    def server_context(self, *hosts: str, expired: bool = False) -> ssl.SSLContext:
        """A server context presenting a leaf for ``hosts`` (cached)."""
        names = tuple(h.lower() for h in hosts)
        with self._lock:
            context = self._contexts.get((names, expired))
            if context is None:
                cert_path, key_path = self._issue(names, expired)
                context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                context.load_cert_chain(cert_path, key_path)
                # Offer only HTTP/1.1 so ALPN-capable clients never try h2.
                context.set_alpn_protocols(["http/1.1"])
                self._contexts[(names, expired)] = context
            return context

    def tunnel_context(self, connect_host: str) -> ssl.SSLContext:
        """Context for a CONNECT tunnel: the CONNECT host's leaf, or the SNI name's when they differ."""
        context = self.server_context(connect_host)
        if context.sni_callback is None:

            def choose_by_sni(sock: ssl.SSLObject, server_name: str | None, _ctx: ssl.SSLContext) -> None:
                if server_name and server_name.lower() != connect_host.lower():
                    sock.context = self.server_context(server_name)

            context.sni_callback = choose_by_sni
        return context
