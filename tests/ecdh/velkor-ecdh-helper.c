/*
 * A Linux program the tests start under Wine where Wine's CNG derives nothing from an
 * ECDH secret: it computes Z, the x-coordinate of d times a peer's P-256 point, with the
 * build machine's OpenSSL, and writes it where the caller waits for it.
 *
 *   velkor-ecdh-helper D PEER_X PEER_Y OUT
 *
 * D, PEER_X and PEER_Y are 64 hexadecimal digits each (big-endian). OUT receives one line,
 * "OK " and Z in 64 hexadecimal digits, or "ERROR <reason>"; it is written under another
 * name first and then renamed, so it appears whole.
 */
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <stdio.h>
#include <string.h>

enum { COORDINATE_BYTES = 32 };

static int from_hex(const char *text, unsigned char out[COORDINATE_BYTES])
{
    if (strlen(text) != 2 * COORDINATE_BYTES)
        return 0;
    for (int i = 0; i < COORDINATE_BYTES; ++i) {
        unsigned int byte;
        if (sscanf(text + 2 * i, "%2x", &byte) != 1)
            return 0;
        out[i] = (unsigned char)byte;
    }
    return 1;
}

static const char *agree(const char *d_hex, const char *x_hex, const char *y_hex, unsigned char z[COORDINATE_BYTES])
{
    unsigned char d_bytes[COORDINATE_BYTES], x_bytes[COORDINATE_BYTES], y_bytes[COORDINATE_BYTES];
    if (!from_hex(d_hex, d_bytes) || !from_hex(x_hex, x_bytes) || !from_hex(y_hex, y_bytes))
        return "arguments are not 64 hexadecimal digits each";
    const char *error = "OpenSSL failed";
    EC_GROUP *group = EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1);
    BN_CTX *ctx = BN_CTX_new();
    BIGNUM *d = BN_bin2bn(d_bytes, COORDINATE_BYTES, NULL);
    BIGNUM *x = BN_bin2bn(x_bytes, COORDINATE_BYTES, NULL);
    BIGNUM *y = BN_bin2bn(y_bytes, COORDINATE_BYTES, NULL);
    BIGNUM *zx = BN_new();
    EC_POINT *peer = group ? EC_POINT_new(group) : NULL;
    EC_POINT *shared = group ? EC_POINT_new(group) : NULL;
    if (group && ctx && d && x && y && zx && peer && shared) {
        if (!EC_POINT_set_affine_coordinates(group, peer, x, y, ctx) || EC_POINT_is_on_curve(group, peer, ctx) != 1)
            error = "the peer's point is not on P-256";
        else if (EC_POINT_mul(group, shared, NULL, peer, d, ctx) && !EC_POINT_is_at_infinity(group, shared) &&
                 EC_POINT_get_affine_coordinates(group, shared, zx, NULL, ctx) &&
                 BN_bn2binpad(zx, z, COORDINATE_BYTES) == COORDINATE_BYTES)
            error = NULL;
    }
    EC_POINT_free(shared);
    EC_POINT_free(peer);
    BN_free(zx);
    BN_free(y);
    BN_free(x);
    BN_clear_free(d);
    BN_CTX_free(ctx);
    EC_GROUP_free(group);
    memset(d_bytes, 0, sizeof d_bytes);
    return error;
}

int main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: velkor-ecdh-helper D PEER_X PEER_Y OUT\n");
        return 2;
    }
    unsigned char z[COORDINATE_BYTES];
    const char *error = agree(argv[1], argv[2], argv[3], z);
    char partial[4096];
    if (snprintf(partial, sizeof partial, "%s.part", argv[4]) >= (int)sizeof partial)
        return 2;
    FILE *out = fopen(partial, "w");
    if (out == NULL)
        return 1;
    if (error != NULL) {
        fprintf(out, "ERROR %s\n", error);
    } else {
        fprintf(out, "OK ");
        for (int i = 0; i < COORDINATE_BYTES; ++i)
            fprintf(out, "%02x", z[i]);
        fprintf(out, "\n");
    }
    memset(z, 0, sizeof z);
    if (fclose(out) != 0 || rename(partial, argv[4]) != 0)
        return 1;
    return error != NULL;
}
