#include "support/certificates.h"

#include "support/child_process.h"

#include <gtest/gtest.h>

namespace skiascan::test {

TestAuthority::TestAuthority(const QString& name)
{
    openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=" + name, "-keyout",
             m_dir.filePath("authority.key"), "-out", certificate()});
}

TestAuthority::Issued TestAuthority::issue(const QString& commonName, int days)
{
    const Issued issued{m_dir.filePath(commonName + ".pem"), m_dir.filePath(commonName + ".key")};
    const QString request = m_dir.filePath(commonName + ".csr");
    openssl({"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + commonName, "-keyout", issued.privateKey,
             "-out", request});
    openssl({"x509", "-req", "-in", request, "-CA", certificate(), "-CAkey", m_dir.filePath("authority.key"),
             "-CAcreateserial", "-days", QString::number(days), "-out", issued.certificate});
    return issued;
}

void TestAuthority::openssl(const QStringList& arguments)
{
    ChildProcess process(QStringLiteral("openssl"), arguments, ChildProcess::Stream::Discard,
                         ChildProcess::Stream::Pipe);
    ASSERT_TRUE(process.started()) << "openssl did not start";
    ASSERT_EQ(process.waitForExit(30000), 0) << "openssl " << arguments.join(' ').toStdString() << ": "
                                             << process.standardError().toStdString();
}

} // namespace skiascan::test
