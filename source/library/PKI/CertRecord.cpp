#include "PKI/CertRecord.h"

const char kCertIssuerPrefix[] = "cert.issuername.";
const char kCertSubjectPrefix[] = "cert.subjectname.";

const std::string kCertVersion = "cert.version";
const std::string kCertSerialNumber = "cert.serialNumber";
const std::string kCertIssuerCN = "cert.issuername.CN";
const std::string kCertIssuerC = "cert.issuername.C";
const std::string kCertIssuerO = "cert.issuername.O";
const std::string kCertIssuerOU = "cert.issuername.OU";
const std::string kCertSubjectCN = "cert.subjectname.CN";
const std::string kCertSubjectC = "cert.subjectname.C";
const std::string kCertSubjectO = "cert.subjectname.O";
const std::string kCertSubjectOU = "cert.subjectname.OU";
const std::string kCertNotBefore = "cert.validity.notBefore";
const std::string kCertNotAfter = "cert.validity.notAfter";
const std::string kCertSignatureAlgorithm = "cert.signature.algorism";
const std::string kCertKeyAlgorithm = "cert.key.algorism";
const std::string kCertFingerprintMd5 = "cert.fingerprint.MD5";
const std::string kCertFingerprintSha1 = "cert.fingerprint.SHA1";
const std::string kCertDerPath = "cert.der.path";
const std::string kCertKeyPath = "cert.key.path";
const std::string kCertPolicyId = "cert.extension.policyid";
