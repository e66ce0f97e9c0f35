#pragma once
// What the login establishes and every tab and service call reads: empty until login
// fills it, never changed afterwards.

#include <QString>

namespace norvane {

struct LoginContext {
    QString Certificado_Nome;
    QString Certificado_Thumbprint;
    QString Certificado_SerialNumber;
    QString cd_ibge;
    QString nr_cartorio;
    QString cd_usuario;
    QString nm_nr_cpf;
    QString nm_cartorio;  // the office's name, for the header: "Cartório: (" + nr_cartorio + ") " + it
    QString Ambiente;
    QString urlAPI;
};

}  // namespace norvane
