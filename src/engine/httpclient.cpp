#include "httpclient.h"

HttpClient::HttpClient(QObject *parent)
    : QObject(parent)
{ }

HttpClient::~HttpClient() = default;
