#include "core/last_resort_surface.h"

#include "core/utf8.h"
#include "platform/runtime/base64.h"

namespace kavri {
namespace {

// The server address, the resolvers, the proxy user, the REALITY keys and the
// cover server name are placeholders of the right form; the addresses lie on
// the loopback range so that this configuration never sends traffic off the
// machine until a deployment puts its own values in their places.
constexpr std::string_view kStored =
    "ewogImxvZyI6IHsKICAibGV2ZWwiOiAid2FybiIsCiAgInRpbWVzdGFtcCI6IHRydWUKIH0sCiAiZG5zIjogewogICJzZXJ2"
    "ZXJzIjogWwogICB7CiAgICAidGFnIjogImhvc3RzLWNmIiwKICAgICJ0eXBlIjogImhvc3RzIiwKICAgICJwcmVkZWZpbmVk"
    "IjogewogICAgICJyZXNvbHZlci5leGFtcGxlLm5ldCI6ICIxMjcuMC4wLjExIgogICAgfQogICB9LAogICB7CiAgICAidGFn"
    "IjogImRucy1ydSIsCiAgICAidHlwZSI6ICJ1ZHAiLAogICAgInNlcnZlciI6ICIxMjcuMC4wLjEyIgogICB9LAogICB7CiAg"
    "ICAidGFnIjogImRucy1yZW1vdGUiLAogICAgInR5cGUiOiAiaHR0cHMiLAogICAgInNlcnZlciI6ICJyZXNvbHZlci5leGFt"
    "cGxlLm5ldCIsCiAgICAiZGV0b3VyIjogInByb3h5IiwKICAgICJkb21haW5fcmVzb2x2ZXIiOiAiaG9zdHMtY2YiCiAgIH0K"
    "ICBdLAogICJydWxlcyI6IFsKICAgewogICAgInJ1bGVfc2V0IjogWwogICAgICJnZW9zaXRlLWNhdGVnb3J5LXJ1IiwKICAg"
    "ICAicnUtZXh0cmEiCiAgICBdLAogICAgInNlcnZlciI6ICJkbnMtcnUiCiAgIH0KICBdLAogICJmaW5hbCI6ICJkbnMtcmVt"
    "b3RlIiwKICAic3RyYXRlZ3kiOiAiaXB2NF9vbmx5IgogfSwKICJpbmJvdW5kcyI6IFsKICB7CiAgICJ0eXBlIjogInR1biIs"
    "CiAgICJ0YWciOiAidHVuLWluIiwKICAgImludGVyZmFjZV9uYW1lIjogInV0dW4iLAogICAiYWRkcmVzcyI6IFsKICAgICIx"
    "NzIuMTkuMC4xLzMwIgogICBdLAogICAiYXV0b19yb3V0ZSI6IHRydWUsCiAgICJzdHJpY3Rfcm91dGUiOiB0cnVlLAogICAi"
    "c3RhY2siOiAic3lzdGVtIgogIH0KIF0sCiAib3V0Ym91bmRzIjogWwogIHsKICAgInR5cGUiOiAidmxlc3MiLAogICAidGFn"
    "IjogInByb3h5IiwKICAgInNlcnZlciI6ICIxMjcuMC4wLjEwIiwKICAgInNlcnZlcl9wb3J0IjogOTQ0MywKICAgInV1aWQi"
    "OiAiM2YwYzlhMmUtN2I0MS00ZDhlLWE1YzYtMWU5YjdkMjBmNGEzIiwKICAgInRscyI6IHsKICAgICJlbmFibGVkIjogdHJ1"
    "ZSwKICAgICJzZXJ2ZXJfbmFtZSI6ICJjb3Zlci53d3cuZXhhbXBsZS5jb20iLAogICAgInV0bHMiOiB7CiAgICAgImVuYWJs"
    "ZWQiOiB0cnVlLAogICAgICJmaW5nZXJwcmludCI6ICJjaHJvbWUiCiAgICB9LAogICAgInJlYWxpdHkiOiB7CiAgICAgImVu"
    "YWJsZWQiOiB0cnVlLAogICAgICJwdWJsaWNfa2V5IjogIlhrNG1QOXFUMnZXYzdMYk4xc1J6OEhmSjNkWWc2RXVBMGlPbzVL"
    "ZVEyd00iLAogICAgICJzaG9ydF9pZCI6ICI3YzNlOTFiMDVkMmZhODY0IgogICAgfQogICB9CiAgfSwKICB7CiAgICJ0eXBl"
    "IjogImRpcmVjdCIsCiAgICJ0YWciOiAiZGlyZWN0IgogIH0KIF0sCiAicm91dGUiOiB7CiAgImF1dG9fZGV0ZWN0X2ludGVy"
    "ZmFjZSI6IHRydWUsCiAgImRlZmF1bHRfZG9tYWluX3Jlc29sdmVyIjogewogICAic2VydmVyIjogImRucy1ydSIKICB9LAog"
    "ICJmaW5hbCI6ICJwcm94eSIsCiAgInJ1bGVzIjogWwogICB7CiAgICAiYWN0aW9uIjogInNuaWZmIgogICB9LAogICB7CiAg"
    "ICAicHJvdG9jb2wiOiAiZG5zIiwKICAgICJhY3Rpb24iOiAiaGlqYWNrLWRucyIKICAgfSwKICAgewogICAgInByb3RvY29s"
    "IjogInF1aWMiLAogICAgImFjdGlvbiI6ICJyZWplY3QiCiAgIH0sCiAgIHsKICAgICJpcF9pc19wcml2YXRlIjogdHJ1ZSwK"
    "ICAgICJvdXRib3VuZCI6ICJkaXJlY3QiCiAgIH0sCiAgIHsKICAgICJydWxlX3NldCI6IFsKICAgICAiZ2VvaXAtcnUiCiAg"
    "ICBdLAogICAgIm91dGJvdW5kIjogImRpcmVjdCIKICAgfSwKICAgewogICAgInJ1bGVfc2V0IjogWwogICAgICJnZW9zaXRl"
    "LWNhdGVnb3J5LXJ1IgogICAgXSwKICAgICJvdXRib3VuZCI6ICJkaXJlY3QiCiAgIH0sCiAgIHsKICAgICJydWxlX3NldCI6"
    "IFsKICAgICAicnUtZXh0cmEiCiAgICBdLAogICAgIm91dGJvdW5kIjogImRpcmVjdCIKICAgfQogIF0sCiAgInJ1bGVfc2V0"
    "IjogWwogICB7CiAgICAidGFnIjogImdlb2lwLXJ1IiwKICAgICJ0eXBlIjogInJlbW90ZSIsCiAgICAiZm9ybWF0IjogImJp"
    "bmFyeSIsCiAgICAidXJsIjogImh0dHBzOi8vYXBpLmthdnJpLWFwcC5jb206MjA1My9ydWxlcy9nZW9pcC1ydS5zcnMiLAog"
    "ICAgImRvd25sb2FkX2RldG91ciI6ICJwcm94eSIsCiAgICAidXBkYXRlX2ludGVydmFsIjogIjE2OGgiCiAgIH0sCiAgIHsK"
    "ICAgICJ0YWciOiAiZ2Vvc2l0ZS1jYXRlZ29yeS1ydSIsCiAgICAidHlwZSI6ICJyZW1vdGUiLAogICAgImZvcm1hdCI6ICJi"
    "aW5hcnkiLAogICAgInVybCI6ICJodHRwczovL2FwaS5rYXZyaS1hcHAuY29tOjIwNTMvcnVsZXMvZ2Vvc2l0ZS1jYXRlZ29y"
    "eS1ydS5zcnMiLAogICAgImRvd25sb2FkX2RldG91ciI6ICJwcm94eSIsCiAgICAidXBkYXRlX2ludGVydmFsIjogIjE2OGgi"
    "CiAgIH0sCiAgIHsKICAgICJ0YWciOiAicnUtZXh0cmEiLAogICAgInR5cGUiOiAicmVtb3RlIiwKICAgICJmb3JtYXQiOiAi"
    "YmluYXJ5IiwKICAgICJ1cmwiOiAiaHR0cHM6Ly9hcGkua2F2cmktYXBwLmNvbToyMDUzL3J1bGVzL3J1LWV4dHJhLnNycyIs"
    "CiAgICAiZG93bmxvYWRfZGV0b3VyIjogInByb3h5IiwKICAgICJ1cGRhdGVfaW50ZXJ2YWwiOiAiMjRoIgogICB9CiAgXQog"
    "fSwKICJleHBlcmltZW50YWwiOiB7CiAgImNsYXNoX2FwaSI6IHsKICAgImV4dGVybmFsX2NvbnRyb2xsZXIiOiAiMTI3LjAu"
    "MC4xOjkwOTAiLAogICAic2VjcmV0IjogIiIKICB9LAogICJjYWNoZV9maWxlIjogewogICAiZW5hYmxlZCI6IHRydWUsCiAg"
    "ICJwYXRoIjogImNhY2hlLmRiIgogIH0KIH0KfQo=";

}  // namespace

std::string_view LastResortSurface::storedText() { return kStored; }

std::optional<std::string> LastResortSurface::config() { return decode(kStored); }

std::optional<std::string> LastResortSurface::decode(std::string_view base64) {
    auto bytes = Base64::decode(base64);
    if (!bytes || bytes->empty() || !Utf8::isValid(*bytes)) return std::nullopt;
    return bytes;
}

}  // namespace kavri
