#pragma once

#include <string>

// The keys of the certificate record, the JSON object that describes one NPKI
// certificate to the page. The page reads them by these exact texts
// ("algorism" included). The name keys are made of the two prefixes and the
// attribute's short name; the four the page shows are listed.
extern const std::string kCertVersion;
extern const std::string kCertSerialNumber;
extern const std::string kCertIssuerCN;
extern const std::string kCertIssuerC;
extern const std::string kCertIssuerO;
extern const std::string kCertIssuerOU;
extern const std::string kCertSubjectCN;
extern const std::string kCertSubjectC;
extern const std::string kCertSubjectO;
extern const std::string kCertSubjectOU;
extern const std::string kCertNotBefore;
extern const std::string kCertNotAfter;
extern const std::string kCertSignatureAlgorithm;
extern const std::string kCertKeyAlgorithm;
extern const std::string kCertFingerprintMd5;
extern const std::string kCertFingerprintSha1;
extern const std::string kCertDerPath;
extern const std::string kCertKeyPath;
extern const std::string kCertPolicyId;

extern const char kCertIssuerPrefix[];
extern const char kCertSubjectPrefix[];
