#!/usr/bin/python3
"""Writes the reference vectors of the link-encryption tests.

They come from python3-cryptography, an implementation independent of the
driver's: AES-256-CCM frames (4-byte tag, 13-byte nonce, no associated data)
and the AES-256 block encryptions of the session-key derivation. Inputs are
expanded from fixed labels so that a rerun reproduces the files.

Run from this directory: /usr/bin/python3 make_test_vectors.py
"""
import hashlib

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.ciphers.aead import AESCCM

CCM_PLAINTEXT_LENGTHS = (0, 1, 15, 16, 17, 300)


def pseudo_random(label, length):
    out = b""
    block = 0
    while len(out) < length:
        out += hashlib.sha256(f"{label}/{block}".encode()).digest()
        block += 1
    return out[:length]


def nonce_for(label, counter):
    # byte 0 is zero, bytes 1-4 the big-endian frame counter
    return bytes([0]) + counter.to_bytes(4, "big") + pseudo_random(label, 8)


def c_hex(data):
    return f'"{data.hex()}"'



def ccm_vectors():
    lines = []
    for n in CCM_PLAINTEXT_LENGTHS:
        key = pseudo_random(f"ccm key {n}", 32)
        nonce = nonce_for(f"ccm nonce {n}", n * 7919)
        plaintext = pseudo_random(f"ccm plaintext {n}", n)
        frame = b"\xff" + AESCCM(key, tag_length=4).encrypt(nonce, plaintext, None)
        lines.append(f"    {{{c_hex(key)},\n     {c_hex(nonce)},\n"
                     f"     {c_hex(plaintext)},\n     {c_hex(frame)}}},")
    return lines


def aes256_blocks(key, data):
    encryptor = Cipher(algorithms.AES(key), modes.ECB()).encryptor()
    return encryptor.update(data) + encryptor.finalize()


def session_key_vectors():
    lines = []
    for i in range(3):
        ltk = pseudo_random(f"ltk {i}", 32)
        driver_value = pseudo_random(f"driver value {i}", 16)
        response = pseudo_random(f"response {i}", 20)
        session_key = aes256_blocks(ltk, driver_value + response[:16])
        lines.append(f"    {{{c_hex(ltk)},\n     {c_hex(driver_value)},\n"
                     f"     {c_hex(response)},\n     {c_hex(session_key)}}},")
    return lines


def write(path, what, lines):
    with open(path, "w") as out:
        out.write(f"// {what}, written by make_test_vectors.py; do not edit.\n")
        out.write("\n".join(lines) + "\n")


write("ccm_vectors.inc", "AES-256-CCM frames {key, nonce, plaintext, frame}", ccm_vectors())
write("session_key_vectors.inc",
      "Session-key derivations {ltk, driver value, response, session key}",
      session_key_vectors())
