#!/usr/bin/env python3
"""Makes the built-in secrets of the agent as one C++ source file.

A deployment runs this once and keeps the output (src/crypto/secrets.cpp) as its own: the
management server, qzlog and both programs link that one file, so they agree on every value.

    python3 tools/secretgen/secretgen.py > src/crypto/secrets.cpp
"""
import secrets
import string
import sys
import uuid

rng = secrets.SystemRandom()

TEMPLATE_A_SIZE = 242
TEMPLATE_B_SIZE = 244
KEY_TEMPLATE_SIZE = 85
LOG_KEY_TEMPLATE_SIZE = 94
LOG_PASSWORD_SIZE = 6

# Printable text without the characters that would change how printf reads a template.
TEXT_CHARS = [c for c in string.ascii_letters + string.digits + string.punctuation if c != '%']


def random_text(n):
    return ''.join(rng.choice(TEXT_CHARS) for _ in range(n)).encode('ascii')


def insert_at_random(body, pieces):
    """Puts each piece at a random place of body; pieces never split one another."""
    for piece in pieces:
        at = rng.randrange(len(body) + 1)
        body = body[:at] + piece + body[at:]
    return body


def key_template():
    # Two holes: the machine code first, the password second.
    body = random_text(KEY_TEMPLATE_SIZE - 4)
    a = rng.randrange(len(body) + 1)
    b = rng.randrange(a, len(body) + 1)
    out = body[:a] + b'%s' + body[a:b] + b'%s' + body[b:]
    assert len(out) == KEY_TEMPLATE_SIZE and out.count(b'%s') == 2
    return out


def log_key_template():
    controls = [bytes([rng.randrange(1, 32)]) for _ in range(3)]
    high = [bytes([rng.randrange(128, 256)]) for _ in range(2)]
    fill = LOG_KEY_TEMPLATE_SIZE - 2 - 2 - len(controls) - len(high)
    out = insert_at_random(random_text(fill), controls + high + [b'%%', b'%s'])
    assert len(out) == LOG_KEY_TEMPLATE_SIZE
    assert out.count(b'%') == 3 and out.count(b'%s') == 1 and out.count(b'%%') == 1
    assert b'\0' not in out
    return out


def permutation():
    p = list(range(64))
    rng.shuffle(p)
    return bytes(p)


def guid_bytes():
    g = uuid.uuid4()
    # The GUID structure in memory: Data1, Data2, Data3 little-endian, then Data4.
    return g.bytes_le, str(g).upper()


def c_bytes(name, data, per_line=16):
    lines = []
    for i in range(0, len(data), per_line):
        lines.append('    ' + ', '.join('0x%02X' % b for b in data[i:i + per_line]) + ',')
    return 'constexpr uint8_t %s[%d] = {\n%s\n};\n' % (name, len(data), '\n'.join(lines))


def main():
    salt, salt_text = guid_bytes()
    values = [
        ('kTemplateA', secrets.token_bytes(TEMPLATE_A_SIZE)),
        ('kTemplateB', secrets.token_bytes(TEMPLATE_B_SIZE)),
        ('kPositionA', permutation()),
        ('kPositionB', permutation()),
        ('kSalt', salt),
        ('kKeyTemplate', key_template()),
        ('kCertKeyInput', secrets.token_bytes(32)),
        ('kLogKeyTemplate', log_key_template()),
        ('kLogPassword', random_text(LOG_PASSWORD_SIZE)),
    ]
    out = sys.stdout
    out.write('// Built-in secrets of this deployment, made by tools/secretgen/secretgen.py.\n')
    out.write('// Shared by linking; never copy these values anywhere else.\n')
    out.write('#include "crypto/secrets.h"\n\n')
    out.write('namespace qz::secrets {\n\nnamespace {\n\n')
    for name, data in values:
        if name == 'kSalt':
            out.write('// {%s}\n' % salt_text)
        out.write(c_bytes(name, data))
        out.write('\n')
    out.write('template <size_t N>\n')
    out.write('std::string_view Text(const uint8_t (&bytes)[N]) {\n')
    out.write('  return std::string_view(reinterpret_cast<const char*>(bytes), N);\n}\n\n')
    out.write('}  // namespace\n\n')
    out.write('std::span<const uint8_t, kTemplateASize> TemplateA() { return kTemplateA; }\n')
    out.write('std::span<const uint8_t, kTemplateBSize> TemplateB() { return kTemplateB; }\n')
    out.write('std::span<const uint8_t, 64> PositionA() { return kPositionA; }\n')
    out.write('std::span<const uint8_t, 64> PositionB() { return kPositionB; }\n')
    out.write('std::span<const uint8_t, 16> Salt() { return kSalt; }\n')
    out.write('std::string_view KeyTemplate() { return Text(kKeyTemplate); }\n')
    out.write('std::span<const uint8_t, 32> CertKeyInput() { return kCertKeyInput; }\n')
    out.write('std::string_view LogKeyTemplate() { return Text(kLogKeyTemplate); }\n')
    out.write('std::string_view LogPassword() { return Text(kLogPassword); }\n\n')
    out.write('}  // namespace qz::secrets\n')


if __name__ == '__main__':
    main()
