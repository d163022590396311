// The retired CAs of earlier deployments (src/register/data/obsolete, made
// by `npsigil-testpki ca-chain`). The names are written as the certificate
// filter sees them: most specific RDN first, ", " between them.
#include "register/DiscardList.h"

const DISCARD_CERT_FILTER g_DiscardCertFilters[3] = {
    {u"O=Sigil Obsolete Test CA, C=CN", u"O=Sigil Obsolete Root CA, C=CN", u"0B11"},
    {u"O=Sigil Obsolete Operation CA, C=CN", u"O=Sigil Obsolete Root CA, C=CN", u"0B12"},
    {u"O=Sigil Obsolete SM2 CA, C=CN", u"CN=Sigil Demo SM2 Root CA, O=Sigil Demo, C=CN", u"0B13"},
};

// "Sigil Obsolete Root CA", serial 0B01.
const WCHAR g_wszDiscardRootThumbprint[] = u"7D65C4AA8AEFD2D992872D219C6C24F6C3B79F78";
