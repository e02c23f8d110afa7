#pragma once

namespace kavri {

// The key names of the shared store.
namespace KavriDefaultsKey {
inline constexpr const char* userAddedTier0Apps = "user_added_tier_0_apps";
inline constexpr const char* lastSubscriptionPull = "last_subscription_pull";
inline constexpr const char* cachedSingboxConfig = "cached_singbox_config";
inline constexpr const char* cachedSubscriptionMeta = "cached_subscription_meta";
inline constexpr const char* cachedStatusJSON = "cached_status_json";
inline constexpr const char* subTokenForNE = "sub_token_ne";
inline constexpr const char* nePollIntervalSec = "ne_poll_interval_sec";
inline constexpr const char* pendingConfigRefresh = "pending_config_refresh";
inline constexpr const char* configAppliedAt = "config_applied_at";
inline constexpr const char* stallWatchRaw = "stall_watch_raw";
inline constexpr const char* detectRef = "detect_ref";
inline constexpr const char* detectRefsJSON = "detect_refs_json";
inline constexpr const char* detectConfigJSON = "detect_config_json";
inline constexpr const char* eligibleMembersJSON = "eligible_members_json";
inline constexpr const char* cpFallbacksJSON = "cp_fallbacks_json";
inline constexpr const char* cpLastGoodHost = "cp_last_good_host";
inline constexpr const char* lastTrialNoticeExpiry = "last_trial_notice_expiry";
inline constexpr const char* configEpoch = "config_epoch";
inline constexpr const char* lastStopReason = "last_stop_reason";
inline constexpr const char* deviceRemoved = "device_removed";
inline constexpr const char* lastSessionUnhealthy = "last_session_unhealthy";
inline constexpr const char* sessionDirty = "session_dirty";
inline constexpr const char* appState = "app_state";
inline constexpr const char* deviceIDForNE = "device_id_ne";
inline constexpr const char* subscriptionID = "subscription_id";
inline constexpr const char* priceMonth = "price_month";
inline constexpr const char* currency = "currency";
inline constexpr const char* lastKnownState = "last_known_state";
inline constexpr const char* lastKnownExpiry = "last_known_expiry";
inline constexpr const char* lastKnownBonusYears = "last_known_bonus_years";
inline constexpr const char* notifPrimerDeclines = "notif_primer_declines";
inline constexpr const char* refAttributionAsked = "ref_attribution_asked";
inline constexpr const char* stackCatalogCache = "stack_catalog_cache";
inline constexpr const char* stackCatalogCacheAt = "stack_catalog_cache_at";
}  // namespace KavriDefaultsKey

}  // namespace kavri
